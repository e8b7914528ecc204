#pragma once

#include <windows.h>

#include <new>

// Runs the body of a COM method or callback so that no C++ exception leaves
// it: allocation failures become E_OUTOFMEMORY, anything else E_UNEXPECTED.
template <class Body>
HRESULT ComBarrier(Body body) noexcept
{
    try
    {
        return body();
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    catch (...)
    {
        return E_UNEXPECTED;
    }
}
