// The private device, the stub texture and the filter choice.
#include "Direct3d9Device.h"
#include "ShareTestDevice.h"
#include "TestProcess.h"
#include "VideoTextures.h"

#include "HexText.h"
#include "Log.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace
{
std::string ReadLogFile()
{
    std::ifstream file(LogFileName().c_str(), std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Records the focus and device windows of every CreateDeviceEx made through
// this process's Direct3D 9Ex objects while it lives, by replacing the slot in
// their shared method table.
class CreateDeviceExRecorder
{
public:
    struct Windows
    {
        HWND focus;
        HWND device;
    };

    CreateDeviceExRecorder()
    {
        ComPtr<IDirect3D9Ex> d3d;
        if (FAILED(Direct3DCreate9Ex(D3D_SDK_VERSION, &d3d)))
            return;
        m_slot = *reinterpret_cast<CreateDeviceExFn**>(d3d.Get()) + kCreateDeviceExSlot;
        DWORD protection = 0;
        if (!VirtualProtect(m_slot, sizeof(*m_slot), PAGE_READWRITE, &protection))
        {
            m_slot = nullptr;
            return;
        }
        s_original = *m_slot;
        s_recorded.clear();
        *m_slot = &Record;
    }
    ~CreateDeviceExRecorder()
    {
        if (m_slot)
            *m_slot = s_original;
    }
    CreateDeviceExRecorder(const CreateDeviceExRecorder&) = delete;
    CreateDeviceExRecorder& operator=(const CreateDeviceExRecorder&) = delete;

    bool Installed() const { return m_slot != nullptr; }
    const std::vector<Windows>& Recorded() const { return s_recorded; }

private:
    using CreateDeviceExFn = HRESULT(STDMETHODCALLTYPE*)(IDirect3D9Ex*, UINT, D3DDEVTYPE, HWND, DWORD,
                                                         D3DPRESENT_PARAMETERS*, D3DDISPLAYMODEEX*,
                                                         IDirect3DDevice9Ex**);
    // IUnknown (3) and IDirect3D9 (14) come first, then four Ex methods before it.
    static constexpr size_t kCreateDeviceExSlot = 20;

    static HRESULT STDMETHODCALLTYPE Record(IDirect3D9Ex* self, UINT adapter, D3DDEVTYPE type, HWND focus,
                                            DWORD flags, D3DPRESENT_PARAMETERS* parameters, D3DDISPLAYMODEEX* mode,
                                            IDirect3DDevice9Ex** device)
    {
        s_recorded.push_back(Windows{focus, parameters ? parameters->hDeviceWindow : nullptr});
        return s_original(self, adapter, type, focus, flags, parameters, mode, device);
    }

    CreateDeviceExFn* m_slot = nullptr;
    static CreateDeviceExFn s_original;
    static std::vector<Windows> s_recorded;
};
CreateDeviceExRecorder::CreateDeviceExFn CreateDeviceExRecorder::s_original = nullptr;
std::vector<CreateDeviceExRecorder::Windows> CreateDeviceExRecorder::s_recorded;
} // namespace

TEST(TextureFilter, FollowsTheLargerSizeDifference)
{
    // Differences up to 100 draw with the nearest texel, the closest sizes too:
    // no filter at all is no value for magnification or minification.
    EXPECT_EQ(D3DTEXF_POINT, ChooseTextureFilter(1920, 1080, 1920, 1080));
    EXPECT_EQ(D3DTEXF_POINT, ChooseTextureFilter(1920, 1080, 1900, 1080));
    EXPECT_EQ(D3DTEXF_POINT, ChooseTextureFilter(1920, 1080, 1899, 1080));
    EXPECT_EQ(D3DTEXF_POINT, ChooseTextureFilter(1920, 1080, 1920, 1180));
    EXPECT_EQ(D3DTEXF_LINEAR, ChooseTextureFilter(1920, 1080, 1920, 1181));
    EXPECT_EQ(D3DTEXF_LINEAR, ChooseTextureFilter(1920, 1080, 1280, 720));
    // Growing and shrinking count alike; the other axis may be the larger one.
    EXPECT_EQ(D3DTEXF_POINT, ChooseTextureFilter(640, 360, 661, 350));
    EXPECT_EQ(D3DTEXF_POINT, ChooseTextureFilter(640, 360, 660, 340));
    EXPECT_EQ(D3DTEXF_LINEAR, ChooseTextureFilter(640, 360, 640, 259));
}

TEST(TextureFilter, NoRenderSizeOrExtremeSizesGiveLinear)
{
    EXPECT_EQ(D3DTEXF_LINEAR, ChooseTextureFilter(1280, 720, 0, 720));
    EXPECT_EQ(D3DTEXF_LINEAR, ChooseTextureFilter(1280, 720, 1280, 0));
    EXPECT_EQ(D3DTEXF_LINEAR, ChooseTextureFilter(0, 0, -5, -5));
    // Differences that overflow an int still count as large.
    EXPECT_EQ(D3DTEXF_LINEAR, ChooseTextureFilter(INT32_MIN, 720, INT32_MAX, 720));
    EXPECT_EQ(D3DTEXF_LINEAR, ChooseTextureFilter(1280, INT32_MIN, 1280, 1));
}

// Windows makes no windowed device without a window, so the caller gives one.
TEST(PrivateDevice, IsAVideoDeviceOnTheGivenWindowUntilReleased)
{
    UniqueWindow window;
    window.Reset(CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr));
    ASSERT_NE(nullptr, window.Get());
    Direct3d9Device device;
    EXPECT_FALSE(device.IsCreated());
    EXPECT_EQ(nullptr, device.GetDevice());
    ASSERT_EQ(S_OK, device.Create(1280, 720, D3DFMT_X8R8G8B8, window.Get()));
    ASSERT_TRUE(device.IsCreated());
    ASSERT_NE(nullptr, device.GetDevice());

    D3DDEVICE_CREATION_PARAMETERS creation{};
    ASSERT_EQ(S_OK, device.GetDevice()->GetCreationParameters(&creation));
    EXPECT_EQ(static_cast<DWORD>(0x846), creation.BehaviorFlags);
    EXPECT_EQ(D3DDEVTYPE_HAL, creation.DeviceType);
    ComPtr<IDirect3DSwapChain9> swapChain;
    ASSERT_EQ(S_OK, device.GetDevice()->GetSwapChain(0, &swapChain));
    D3DPRESENT_PARAMETERS parameters{};
    ASSERT_EQ(S_OK, swapChain->GetPresentParameters(&parameters));
    EXPECT_EQ(1280u, parameters.BackBufferWidth);
    EXPECT_EQ(720u, parameters.BackBufferHeight);
    EXPECT_EQ(D3DFMT_X8R8G8B8, parameters.BackBufferFormat);
    EXPECT_EQ(static_cast<DWORD>(D3DPRESENTFLAG_VIDEO), parameters.Flags);
    EXPECT_EQ(static_cast<UINT>(D3DPRESENT_INTERVAL_IMMEDIATE), parameters.PresentationInterval);
    EXPECT_TRUE(parameters.Windowed);
    EXPECT_EQ(window.Get(), parameters.hDeviceWindow);
    swapChain.Reset();

    device.Release();
    EXPECT_FALSE(device.IsCreated());
    EXPECT_EQ(nullptr, device.GetDevice());
}

TEST(PrivateDevice, TinySizesGetATwoByTwoBackBuffer)
{
    struct Case
    {
        UINT width, height, expectedWidth, expectedHeight;
    };
    UniqueWindow window;
    window.Reset(CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr));
    for (const Case& c : {Case{8, 15, 2, 2}, Case{8, 16, 8, 16}, Case{16, 4, 16, 4}})
    {
        Direct3d9Device device;
        ASSERT_EQ(S_OK, device.Create(c.width, c.height, D3DFMT_X8R8G8B8, window.Get())) << c.width << "x" << c.height;
        ComPtr<IDirect3DSurface9> backBuffer;
        ASSERT_EQ(S_OK, device.GetDevice()->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &backBuffer));
        D3DSURFACE_DESC desc{};
        ASSERT_EQ(S_OK, backBuffer->GetDesc(&desc));
        EXPECT_EQ(c.expectedWidth, desc.Width) << c.width << "x" << c.height;
        EXPECT_EQ(c.expectedHeight, desc.Height) << c.width << "x" << c.height;
    }
}

class StubTexture : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(LoadedD3d9IsWines()) << "this test needs WINEDLLOVERRIDES with d3d9=n,b";
        ReleaseStubTexture("StubTextureTest");
        ASSERT_EQ(nullptr, StubTextureHandle());
    }
    void TearDown() override { ReleaseStubTexture("StubTextureTest"); }
};

TEST_F(StubTexture, IsMadeOnceAndAgainAfterItsRelease)
{
    ASSERT_EQ(S_OK, CreateStubTexture());
    const HANDLE first = StubTextureHandle();
    ASSERT_NE(nullptr, first);
    ASSERT_EQ(S_OK, CreateStubTexture());
    EXPECT_EQ(first, StubTextureHandle());

    ReleaseStubTexture("StubTextureTest");
    EXPECT_EQ(nullptr, StubTextureHandle());
    EXPECT_NE(std::string::npos, ReadLogFile().find("[StubTextureTest] destroying device"));
    // The released texture's handle is gone: opening it fails.
    ShareTestDevice other;
    ASSERT_EQ(S_OK, other.Create());
    ComPtr<IDirect3DTexture9> stale;
    EXPECT_TRUE(FAILED(other.OpenShared(first, 1280, 720, D3DFMT_X8R8G8B8, &stale)));

    // Windows may hand the freed value out again at once; the new texture must open.
    ASSERT_EQ(S_OK, CreateStubTexture());
    ASSERT_NE(nullptr, StubTextureHandle());
    ComPtr<IDirect3DTexture9> again;
    EXPECT_EQ(S_OK, other.OpenShared(StubTextureHandle(), 1280, 720, D3DFMT_X8R8G8B8, &again));
}

// Windows makes no windowed device with neither a focus nor a device window.
TEST_F(StubTexture, ItsDeviceGetsAHiddenWindowThatGoesWithTheCall)
{
    CreateDeviceExRecorder recorder;
    ASSERT_TRUE(recorder.Installed());
    ASSERT_EQ(S_OK, CreateStubTexture());
    ASSERT_EQ(1u, recorder.Recorded().size());
    const HWND window = recorder.Recorded()[0].device;
    EXPECT_NE(nullptr, window);
    EXPECT_FALSE(IsWindow(window));
}

TEST_F(StubTexture, ReleaseWithoutATextureDoesNothing)
{
    ReleaseStubTexture("StubTextureIdle");
    EXPECT_EQ(std::string::npos, ReadLogFile().find("[StubTextureIdle]"));
    EXPECT_EQ(nullptr, StubTextureHandle());
}

TEST_F(StubTexture, IsGreenOnAnotherDeviceHereAndInAnotherProcess)
{
    ASSERT_EQ(S_OK, CreateStubTexture());
    const HANDLE handle = StubTextureHandle();
    ASSERT_NE(nullptr, handle);

    ShareTestDevice other;
    ASSERT_EQ(S_OK, other.Create());
    ComPtr<IDirect3DTexture9> opened;
    ASSERT_EQ(S_OK, other.OpenShared(handle, 1280, 720, D3DFMT_X8R8G8B8, &opened));
    std::vector<uint32_t> pixels;
    ASSERT_EQ(S_OK, other.ReadPixels(opened.Get(), &pixels));
    ASSERT_EQ(1280u * 720u, pixels.size());
    size_t notGreen = 0;
    for (uint32_t pixel : pixels)
        notGreen += pixel != 0x008000;
    EXPECT_EQ(0u, notGreen);

    EXPECT_EQ(0u, RunProgram(L"platform-d3d-reader.exe", HexW(reinterpret_cast<uintptr_t>(handle)) + L" 1280 720"));
}

// Wine's own d3d9.dll makes textures with a shared-handle argument but leaves
// the handle null: such a texture could never reach another process.
TEST(StubTextureWithoutSharing, IsAFailureAndIsTriedAgainNextTime)
{
    if (!LoadedD3d9IsWines())
        GTEST_SKIP() << "runs as platform-d3d-unshared-tests, with Wine's own d3d9.dll";
    ReleaseStubTexture("StubTextureTest");
    EXPECT_EQ(E_FAIL, CreateStubTexture());
    EXPECT_EQ(nullptr, StubTextureHandle());
    // Nothing half-made is kept as the stub.
    EXPECT_EQ(E_FAIL, CreateStubTexture());
    EXPECT_EQ(nullptr, StubTextureHandle());
}

// A process that never calls the clean-up export, as a JVM ended by
// System.exit, leaves the stub texture to the end of the process.
TEST(StubTextureAtProcessEnd, AProcessThatNeverCleansUpEndsAtOnce)
{
    if (LoadedD3d9IsWines())
        GTEST_SKIP() << "needs WINEDLLOVERRIDES with d3d9=n,b: Wine's own d3d9.dll makes no stub texture";
    const std::wstring eventName = L"qv-stub-exit-" + std::to_wstring(GetCurrentProcessId());
    UniqueHandle exiting(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    TestProcess child;
    ASSERT_TRUE(child.Start(L"platform-d3d-stub-exit.exe", L"exit " + eventName));
    HANDLE waits[] = {exiting.Get(), child.Handle()};
    ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, waits, FALSE, 30000)) << "exit code " << child.Wait(0);
    const ULONGLONG start = GetTickCount64();
    const DWORD exitCode = child.Wait(10000);
    const ULONGLONG took = GetTickCount64() - start;
    if (exitCode == STILL_ACTIVE)
        child.Terminate(1);
    EXPECT_EQ(0u, exitCode);
    std::printf("process end took %llu ms\n", took);
}

TEST(StubTextureAtProcessEnd, UnloadingTheLibraryReleasesIt)
{
    if (LoadedD3d9IsWines())
        GTEST_SKIP() << "needs WINEDLLOVERRIDES with d3d9=n,b: Wine's own d3d9.dll makes no stub texture";
    EXPECT_EQ(0u, RunProgram(L"platform-d3d-stub-exit.exe", L"unload", 10000));
}
