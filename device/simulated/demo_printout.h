// A plausible timing printout for the simulated console's demo mode: results of a few events,
// heat by heat, lane by lane, in printable ASCII ended by CR LF as a console prints it.
#pragma once

#include <string>
#include <vector>

namespace tessun {

// The console's stored data: every heat of every event, with a header and a footer.
std::string DemoPrintout();

// Result lines the console prints by itself now and then while a heat is being swum.
std::vector<std::string> DemoLiveLines();

}  // namespace tessun
