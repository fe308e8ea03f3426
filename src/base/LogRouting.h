// Where the default sink sends a line besides the debugger output.
// TELVOR_LOG=stderr copies every line to standard error; TELVOR_LOG=<path>
// appends it (UTF-8) to that file. Read once, at the first line.
#pragma once

namespace telvor {

// Copies one finished line to the destination TELVOR_LOG names, if any.
void RouteLogLine(const wchar_t* line);

}  // namespace telvor
