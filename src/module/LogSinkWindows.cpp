#include <windows.h>

#include "module/Log.h"
#include "module/LogRouting.h"

namespace {

void DebuggerSink(const wchar_t* line) {
  OutputDebugStringW(line);
  telvor::RouteLogLine(line);
}

}  // namespace

LogSink TraceSink = DebuggerSink;
LogSink InfoSink = DebuggerSink;
LogSink ErrorSink = DebuggerSink;
