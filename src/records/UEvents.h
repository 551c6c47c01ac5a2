// Numbers of the events worker threads post to the window thread, the codes
// of the connection event, and the statistics events. Shared by everything
// that posts.
#pragma once

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
};

} // namespace quibo
