// Numbers of the events worker threads post to the window thread, the codes
// of the connection event, and the statistics events. Shared by everything
// that posts.
#pragma once

#include <array>
#include <chrono>
#include <string_view>

namespace quibo {

enum TEventNumber : int {
  EvBusy = 15724,
  EvConnection = 15725,
  EvServiceState = 15726,
  EvShowWindow = 15727,
  EvHideWindow = 15728,
  EvStatistic = 15729,
};

// Arguments of EvConnection.
enum TConnectionEventCode : int {
  ServerConnect = 1,
  ClientConnect = 2,
  ClientDisconnect = 3,
  ServerDisconnect = 4,
};

// What the statistics count, posted as EvStatistic with the event's number and
// an argument. The window thread applies each to the counters of the
// Statistics page (TStats) and to the metrics.
enum class TStatEvent : long {
  ConnectionServed = 0,  // comes as the connection event ServerConnect
  RelayConnected = 2,    // comes as the connection event ClientConnect
  RecipientNotLocal = 3, // refused for relaying
  HostBlacklisted = 4,   // manually or by a DNS blacklist
  DnsLookupStarted = 5,  // argument: the zone's statistics row id
  DnsLookupTimedOut = 6, // argument: the zone's statistics row id
  DnsLookupListed = 7,   // argument: the zone's statistics row id
  VirusFound = 8,
  HeurasticPositive = 9, // the classifier's score reached the spam threshold
  HeurasticDropped = 10, // the score reached the drop score: the message was dropped
  // Counted by the metrics only:
  ConnectionRefusedByLimit = 11,      // MaxConnections or MaxConnectionsPerIp
  ConnectionRefusedForResources = 12, // out of descriptors
  MessageRefusedBlacklist = 13,       // a blacklisted host refused with 521
  DnsLookupClean = 14,                // argument: the zone's statistics row id
  DnsLookupFailed = 15,               // argument: the zone's statistics row id
  MessageRelayed = 16,
  RelayFailedTemporary = 17,
  RelayFailedPermanent = 18,
  MessageDeferredUnchecked = 19, // 451: the scan or the classification gave no answer
  ClassifierPositive = 20,
  ClassifierNegative = 21,
  ClassifierNotTested = 22, // failed, or the message was too large
  TlsSessionStarted = 23,   // argument: TlsProtocolArgument of the protocol
  DnsCheckTime = 24,        // argument: microseconds, as for the three below
  ScanTime = 25,
  ClassificationTime = 26,
  RelayTime = 27,
  RspamdAction = 28,              // argument: the TRspamdAction rspamd answered, obeyed or not
  RspamdRefused = 29,             // its reject obeyed: 554
  RspamdDeferred = 30,            // its soft reject obeyed: 451 (its discard obeyed counts as HeurasticDropped)
  RecipientRefusedByNextHop = 31, // the next server refused a recipient at RCPT
  RecipientCheckTime = 32,        // argument: microseconds of the RCPT round trip to the next server
  TransactionReplayed = 33,       // a lost connection was opened again and the envelope replayed
};

// rspamd's actions, the argument of TStatEvent::RspamdAction, in the order of their names.
enum class TRspamdAction : long { Reject, SoftReject, Discard, Greylist, AddHeader, RewriteSubject, NoAction, Other };
inline constexpr std::array<std::string_view, 8> kRspamdActionNames{
    "reject", "soft reject", "discard", "greylist", "add header", "rewrite subject", "no action", "other"};

// The action of rspamd's name; Other for a name it is not.
inline TRspamdAction RspamdActionNamed(std::string_view name) {
  for (size_t i = 0; i + 1 < kRspamdActionNames.size(); ++i)
    if (kRspamdActionNames[i] == name) return static_cast<TRspamdAction>(i);
  return TRspamdAction::Other;
}

// The argument of the time events: microseconds since the step started.
inline long MicrosecondsSince(std::chrono::steady_clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count());
}

} // namespace quibo
