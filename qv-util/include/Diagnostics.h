#pragma once

// Reports a violated condition: logged under the tag "DIAGNOSTIC" and handed to
// the sink, if one is set. Reporting never stops the program.
void ReportDiagnostic(const char* text);

// Tests observe reports through a sink; pass nullptr to remove it.
using DiagnosticSink = void (*)(const char* text);
void SetDiagnosticSink(DiagnosticSink sink);

// Invariants of the video path, active in debug builds. The text names the
// invariant, for example QV_ASSERT(x, "sampleVersion==m_TokenCounter").
#ifdef NDEBUG
#define QV_ASSERT(condition, text) ((void)0)
#else
#define QV_ASSERT(condition, text) ((condition) ? (void)0 : ReportDiagnostic(text))
#endif
