// Makes every misuse of the JVM stand-in and every call of a JNI function it
// lacks fail the running test. Linked as an object so that its initialiser
// always runs in the test program.
#include "JniStandIn.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace
{
void FailUnimplemented(const char* name)
{
    std::fprintf(stderr, "JNI stand-in: %s is called but not implemented\n", name);
    std::fflush(stderr);
    ADD_FAILURE() << "JNI stand-in: " << name << " is called but not implemented";
}

void FailMisuse(const char* text)
{
    std::fprintf(stderr, "JNI stand-in: %s\n", text);
    std::fflush(stderr);
    ADD_FAILURE() << "JNI stand-in: " << text;
}

const bool g_installed = (JniStandIn::SetDefaultHandlers(&FailUnimplemented, &FailMisuse), true);
} // namespace
