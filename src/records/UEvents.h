// Numbers of the events worker threads post to the window thread, and the
// codes of the connection event. Shared by everything that posts.
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

} // namespace quibo
