#pragma once

#include <windows.h>

#include "common/tk_section.h"

namespace zel {

// A container paired with the lock that guards it. Holders take Lock() around every use of
// `container`.
template <class Container>
class locker : public TkSection {
 public:
  Container container;
};

}  // namespace zel
