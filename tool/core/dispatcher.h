#pragma once
// tavik's command line: one argument chooses one device action.
#include <span>
#include <string_view>

#include "core/session.h"

namespace tavik {

enum class ArgumentClass { DeviceList, CommandWord, BLine, ALine, Unknown };

// The class of the arguments after the program name: no or several arguments list devices; a
// command word; else by length: 10 or less unknown, half the length 22 a B line, 65 an A line.
ArgumentClass classify(std::span<const std::string_view> args);

// Runs the action the arguments choose and prints everything on the session's output.
void runCommandLine(Session& s, std::span<const std::string_view> args);

}  // namespace tavik
