#include <windows.h>

#include "base/Log.h"
#include "base/LogRouting.h"

namespace {

void DebuggerSink(const wchar_t* line) {
  OutputDebugStringW(line);
  telvor::RouteLogLine(line);
}

}  // namespace

LogSink TraceSink = DebuggerSink;
LogSink InfoSink = DebuggerSink;
LogSink ErrorSink = DebuggerSink;
