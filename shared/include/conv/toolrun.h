#pragma once
// How the front end may start a tavik run ahead of time.
namespace conv {

// With this environment setting at "1", tavik does nothing (the device least of all) until one
// byte arrives on its standard input, and ends silently when the input ends first. The front end
// starts the next run this way while the current one works, and lets it go only once it has
// judged the current run's output.
inline constexpr const char* kWaitForGoEnv = "TAVIK_WAIT_FOR_GO";

}  // namespace conv
