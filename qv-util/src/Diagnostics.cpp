#include "Diagnostics.h"

#include "Log.h"

#include <atomic>

namespace
{
std::atomic<DiagnosticSink> g_sink{nullptr};
}

void ReportDiagnostic(const char* text)
{
    Log("DIAGNOSTIC", text);
    if (DiagnosticSink sink = g_sink.load())
        sink(text);
}

void SetDiagnosticSink(DiagnosticSink sink)
{
    g_sink.store(sink);
}
