// The device port that passes every call on to another port (device/forwarding_port.h), under
// the name the tests use: tests derive from it and override the calls they want to watch or
// break.
#pragma once

#include "device/forwarding_port.h"

namespace tessun::test {

using ForwardingPort = tessun::ForwardingPort;

}  // namespace tessun::test
