#pragma once

#include <windows.h>
#include <comdef.h>

#include "core/kro_interfaces.h"

_COM_SMARTPTR_TYPEDEF(IKroBroker, __uuidof(IKroBroker));

namespace zel {

// The exported entry points' work. Both return 0 in every case.
LONG InitializeModule();
LONG CloseModule();

// The module-wide broker interface pointer: set when the event connection opens, dropped when it
// closes. Callers get their own reference, so a request in flight keeps a usable pointer even
// while Close drops the module's.
IKroBrokerPtr CurrentBroker();
void SetCurrentBroker(IKroBrokerPtr broker);

}  // namespace zel
