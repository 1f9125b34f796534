#pragma once
// How the front end starts tavik runs and reads what they print beyond its marker words.
#include <string_view>

namespace conv {

// With this environment setting at "1", tavik does nothing (the device least of all) until one
// byte arrives on its standard input, and ends silently when the input ends first. The front end
// starts the next run this way while the current one works, and lets it go only once it has
// judged the current run's output.
inline constexpr const char* kWaitForGoEnv = "TAVIK_WAIT_FOR_GO";

// The line tavik prints on standard error when a converter is plugged in but may not be opened
// (its standard output says only "not found", as for an absent one):
//   tavik: converter vvvv:pppp is present at PATH but cannot be opened (REASON); <the fix>
inline constexpr std::string_view kCannotOpenStart = "tavik: converter ";
inline constexpr std::string_view kCannotOpenPresent = " is present at ";
inline constexpr std::string_view kCannotOpenEnd = " but cannot be opened (";

}  // namespace conv
