#pragma once

#include <windows.h>

#include <string>

// "exception c0000005 at mfplat.dll+0x1a2b": the code of an exception that
// nothing handled and the module its address lies in, so that a crash inside
// a system decoder can be told from one of ours. An address outside every
// module is shown as it is.
std::string DescribeUnhandledException(const EXCEPTION_RECORD& record);

// Logs an exception that nothing handles, then lets the system end the
// process with the exception's code as before.
void InstallUnhandledExceptionLog();
