// Certificates and keys for the TLS tests, made at run time by the openssl
// command line in a folder the test owns, so that no key is ever committed.
// ECDSA P-256 throughout (fast to make); the one RSA-2048 certificate is made
// only when asked for. Test thread; a failing openssl run throws
// std::runtime_error with the command and what openssl said.
#pragma once

#include "TProgram.h"
#include "TTempFolder.h"

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace quibo::test {

struct TCertificateFiles {
  std::filesystem::path Certificate; // PEM
  std::filesystem::path Key;         // PEM, unencrypted
};

class TTestCertificates {
public:
  explicit TTestCertificates(const std::filesystem::path& folder) : Folder(folder) {
    std::filesystem::create_directories(Folder);
    SelfSigned = MakeSelfSigned("self-signed", EcKey());
    MakeAuthority();
    Trusted = MakeSigned("trusted", kLoopbackNames);
    WrongName = MakeSigned("wrong-name", "DNS:wrong.example");
    Expired = MakeExpired("expired");
    Combined = Folder / "combined.pem";
    WriteFile(Combined, ReadFile(Trusted.Certificate) + ReadFile(Trusted.Key));
  }

  // RSA-2048, self-signed for the loopback names; made at the first call.
  const TCertificateFiles& SelfSignedRsa() {
    if (Rsa.Certificate.empty()) Rsa = MakeSelfSigned("rsa", {"-newkey", "rsa:2048"});
    return Rsa;
  }

  TCertificateFiles SelfSigned;    // self-signed, for IP:127.0.0.1 and DNS:localhost
  std::filesystem::path Authority; // the test CA's certificate: the trust anchor for verification
  TCertificateFiles Trusted;       // signed by the CA, for IP:127.0.0.1 and DNS:localhost
  TCertificateFiles WrongName;     // signed by the CA, for DNS:wrong.example only
  TCertificateFiles Expired;       // signed by the CA for the loopback names, valid only in January 2020
  std::filesystem::path Combined;  // Trusted's certificate followed by its key, in one file

private:
  static constexpr const char* kLoopbackNames = "IP:127.0.0.1,DNS:localhost";
  static std::vector<std::string> EcKey() { return {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256"}; }

  void Run(const std::vector<std::string>& arguments) const {
    std::string err;
    if (RunProgram(arguments, nullptr, &err) == 0) return;
    std::string command;
    for (const auto& argument : arguments)
      command += argument + " ";
    throw std::runtime_error("certificate for the test not made: " + command + "\n" + err);
  }
  TCertificateFiles FilesNamed(const std::string& name) const {
    return {Folder / (name + ".pem"), Folder / (name + ".key")};
  }

  TCertificateFiles MakeSelfSigned(const std::string& name, const std::vector<std::string>& keyOptions) const {
    const auto files = FilesNamed(name);
    std::vector<std::string> arguments{
        "openssl", "req",   "-x509",         "-nodes",  "-days",
        "30",      "-subj", "/CN=localhost", "-addext", std::string("subjectAltName=") + kLoopbackNames};
    arguments.insert(arguments.end(), keyOptions.begin(), keyOptions.end());
    arguments.insert(arguments.end(), {"-keyout", files.Key.string(), "-out", files.Certificate.string()});
    Run(arguments);
    return files;
  }
  void MakeAuthority() {
    const auto files = FilesNamed("authority");
    std::vector<std::string> arguments{"openssl", "req",
                                       "-x509",   "-nodes",
                                       "-days",   "30",
                                       "-subj",   "/CN=Quibo test authority",
                                       "-addext", "basicConstraints=critical,CA:TRUE",
                                       "-addext", "keyUsage=critical,keyCertSign,cRLSign"};
    const auto key = EcKey();
    arguments.insert(arguments.end(), key.begin(), key.end());
    arguments.insert(arguments.end(), {"-keyout", files.Key.string(), "-out", files.Certificate.string()});
    Run(arguments);
    Authority = files.Certificate;
    AuthorityKey = files.Key;
  }
  // A key and its signing request; returns the request's path.
  std::filesystem::path MakeRequest(const TCertificateFiles& files) const {
    const auto request = Folder / (files.Certificate.stem().string() + ".csr");
    std::vector<std::string> arguments{"openssl", "req", "-new", "-nodes", "-subj", "/CN=localhost"};
    const auto key = EcKey();
    arguments.insert(arguments.end(), key.begin(), key.end());
    arguments.insert(arguments.end(), {"-keyout", files.Key.string(), "-out", request.string()});
    Run(arguments);
    return request;
  }
  std::filesystem::path WriteNames(const std::string& name, const std::string& names) const {
    const auto extensions = Folder / (name + ".ext");
    WriteFile(extensions, "subjectAltName=" + names + "\nextendedKeyUsage=serverAuth\n");
    return extensions;
  }
  TCertificateFiles MakeSigned(const std::string& name, const std::string& names) const {
    const auto files = FilesNamed(name);
    Run({"openssl", "x509", "-req", "-in", MakeRequest(files).string(), "-CA", Authority.string(), "-CAkey",
         AuthorityKey.string(), "-CAcreateserial", "-days", "30", "-extfile", WriteNames(name, names).string(), "-out",
         files.Certificate.string()});
    return files;
  }
  // `openssl x509 -req` of OpenSSL 3.0 cannot date a certificate back; `openssl ca` can, with its bookkeeping files.
  TCertificateFiles MakeExpired(const std::string& name) const {
    const auto files = FilesNamed(name);
    const auto book = Folder / "authority-book";
    std::filesystem::create_directories(book);
    WriteFile(book / "index.txt", "");
    WriteFile(book / "serial", "1000\n");
    WriteFile(book / "ca.cnf", "[ca]\ndefault_ca = test_ca\n[test_ca]\ndatabase = " + (book / "index.txt").string() +
                                   "\nserial = " + (book / "serial").string() + "\nnew_certs_dir = " + book.string() +
                                   "\ndefault_md = sha256\npolicy = any_name\nunique_subject = no\n"
                                   "[any_name]\ncommonName = supplied\n");
    Run({"openssl",    "ca",
         "-config",    (book / "ca.cnf").string(),
         "-batch",     "-notext",
         "-cert",      Authority.string(),
         "-keyfile",   AuthorityKey.string(),
         "-startdate", "20200101000000Z",
         "-enddate",   "20200201000000Z",
         "-in",        MakeRequest(files).string(),
         "-extfile",   WriteNames(name, kLoopbackNames).string(),
         "-out",       files.Certificate.string()});
    return files;
  }

  std::filesystem::path Folder;
  std::filesystem::path AuthorityKey;
  TCertificateFiles Rsa;
};

} // namespace quibo::test
