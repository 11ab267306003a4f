#pragma once

#include <windows.h>

#include "channel/broker_channel.h"

namespace zel::core {

// The exported entry points' work. Both return 0 in every case.
LONG InitializeModule();
LONG CloseModule();

// The broker the module object's channel is attached to (our own reference): set when the event
// connection opens, dropped when it closes; null without a module object. Called on the host's
// thread, like Initialize and Close.
IKroBrokerPtr CurrentBroker();

}  // namespace zel::core
