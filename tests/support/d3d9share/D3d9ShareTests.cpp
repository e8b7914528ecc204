// The shared-texture stand-in, checked on its own. Runs with
// WINEDLLOVERRIDES="mscoree,mshtml=;d3d9=n,b" (set by ctest for this test).
#include "OwnerControl.h"
#include "ShareRecords.h"
#include "ShareTestDevice.h"

#include "HexText.h"
#include "TestProcess.h"
#include "VideoPlayerMsg.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>

using Microsoft::WRL::ComPtr;
using d3d9share::InjectDeviceFault;

namespace
{

constexpr D3DCOLOR kRed = 0x00C01010;
constexpr D3DCOLOR kBlue = 0x001020C0;
constexpr D3DCOLOR kYellow = 0x00E0E020;
constexpr D3DCOLOR kBlack = 0x00000000;

HANDLE HandleOf(uint64_t value)
{
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
}

// Checks the pattern that ShareTestDevice::Fill draws.
void ExpectPattern(const std::vector<uint32_t>& pixels, UINT width, UINT height, D3DCOLOR background,
                   D3DCOLOR marker)
{
    ASSERT_EQ(static_cast<size_t>(width) * height, pixels.size());
    auto at = [&](UINT x, UINT y) { return pixels[static_cast<size_t>(y) * width + x]; };
    EXPECT_EQ(marker, at(0, 0));
    EXPECT_EQ(marker, at(15, 15));
    EXPECT_EQ(background, at(16, 16));
    EXPECT_EQ(background, at(width - 1, height / 2 - 1));
    EXPECT_EQ(marker, at(width - 1, height / 2));
    EXPECT_EQ(marker, at(width / 3, height / 2 + 3));
    EXPECT_EQ(background, at(width - 1, height - 1));
}

// Runs an open on another thread and fails the test when it has not returned within the
// bound (far above the stand-in's own 2 s limit); a real hang still ends at ctest's limit.
HRESULT OpenWithin(ShareTestDevice& device, HANDLE handle, UINT width, UINT height, ComPtr<IDirect3DTexture9>* texture,
                   DWORD boundMs)
{
    auto open = std::async(std::launch::async,
                           [&] { return device.OpenShared(handle, width, height, D3DFMT_X8R8G8B8, texture); });
    if (open.wait_for(std::chrono::milliseconds(boundMs)) != std::future_status::ready)
    {
        ADD_FAILURE() << "open did not return within " << boundMs << " ms";
        return open.get();
    }
    return open.get();
}

LONG BoundWrites(HANDLE handle)
{
    using Fn = LONG(WINAPI*)(HANDLE);
    const auto count = reinterpret_cast<Fn>(GetProcAddress(GetModuleHandleW(L"d3d9.dll"), "QvD3d9ShareBoundWrites"));
    return count ? count(handle) : -2;
}

} // namespace

// The other half, Wine's own d3d9.dll under the default overrides, is the ctest
// entry d3d9share-default-overrides: a child here inherits the overrides this
// process was started with, whatever SetEnvironmentVariableW changes.
TEST(D3d9ShareLoading, OverrideLoadsTheStandInHereAndInChildren)
{
    EXPECT_FALSE(LoadedD3d9IsWines()) << "this test needs WINEDLLOVERRIDES with d3d9=n,b";
    EXPECT_EQ(static_cast<DWORD>(kOwnerUsesStandIn), RunProgram(L"d3d9share-owner.exe", L"which"));
}

class SharedTextureInOneProcess : public testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(S_OK, m_device.Create()); }

    ShareTestDevice m_device;
};

TEST_F(SharedTextureInOneProcess, TexturesGetDistinctHandlesAndOpenOnTheirDeviceAsTheSameObject)
{
    ComPtr<IDirect3DTexture9> first, second, plain;
    HANDLE firstHandle = nullptr, secondHandle = nullptr;
    ASSERT_EQ(S_OK, m_device.CreateShared(64, 32, D3DFMT_X8R8G8B8, &first, &firstHandle));
    ASSERT_EQ(S_OK, m_device.CreateShared(64, 32, D3DFMT_A8R8G8B8, &second, &secondHandle));
    EXPECT_NE(nullptr, firstHandle);
    EXPECT_NE(nullptr, secondHandle);
    EXPECT_NE(firstHandle, secondHandle);
    // Without a handle argument nothing is shared.
    ASSERT_EQ(S_OK, m_device.Get()->CreateTexture(64, 32, 1, D3DUSAGE_RENDERTARGET, D3DFMT_X8R8G8B8,
                                                  D3DPOOL_DEFAULT, &plain, nullptr));

    ComPtr<IDirect3DTexture9> opened;
    ASSERT_EQ(S_OK, m_device.OpenShared(firstHandle, 64, 32, D3DFMT_X8R8G8B8, &opened));
    EXPECT_EQ(first.Get(), opened.Get());
    // Two references now: ours and the opened one.
    first->AddRef();
    EXPECT_EQ(2u, first->Release());

    // Devices get the flags they asked for, nothing more.
    D3DDEVICE_CREATION_PARAMETERS creation{};
    ASSERT_EQ(S_OK, m_device.Get()->GetCreationParameters(&creation));
    EXPECT_EQ(0u, creation.BehaviorFlags & D3DCREATE_MULTITHREADED);
}

TEST_F(SharedTextureInOneProcess, AFreedHandleValueNamesTheNextSharedTextureAtOnce)
{
    ComPtr<IDirect3DTexture9> first, second, opened;
    HANDLE firstHandle = nullptr, secondHandle = nullptr;
    ASSERT_EQ(S_OK, m_device.CreateShared(64, 32, D3DFMT_X8R8G8B8, &first, &firstHandle));
    first.Reset();
    ASSERT_EQ(S_OK, m_device.CreateShared(64, 32, D3DFMT_X8R8G8B8, &second, &secondHandle));
    EXPECT_EQ(firstHandle, secondHandle);
    // A stale handle lands on the live texture.
    ASSERT_EQ(S_OK, m_device.OpenShared(firstHandle, 64, 32, D3DFMT_X8R8G8B8, &opened));
    EXPECT_EQ(second.Get(), opened.Get());
}

TEST_F(SharedTextureInOneProcess, WindowedDeviceWithNeitherFocusNorDeviceWindowIsRefused)
{
    ComPtr<IDirect3D9Ex> d3d;
    ASSERT_EQ(S_OK, Direct3DCreate9Ex(D3D_SDK_VERSION, &d3d));
    D3DPRESENT_PARAMETERS parameters{};
    parameters.BackBufferWidth = 2;
    parameters.BackBufferHeight = 2;
    parameters.SwapEffect = D3DSWAPEFFECT_DISCARD;
    parameters.Windowed = TRUE;
    ComPtr<IDirect3DDevice9Ex> device;
    EXPECT_EQ(D3DERR_INVALIDCALL, d3d->CreateDeviceEx(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, nullptr,
                                                      D3DCREATE_SOFTWARE_VERTEXPROCESSING, &parameters, nullptr,
                                                      &device));
    EXPECT_EQ(nullptr, device.Get());
    ComPtr<IDirect3DDevice9> plain;
    EXPECT_EQ(D3DERR_INVALIDCALL, d3d->CreateDevice(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, nullptr,
                                                    D3DCREATE_SOFTWARE_VERTEXPROCESSING, &parameters, &plain));
}

TEST_F(SharedTextureInOneProcess, InjectedFaultsComeFromCheckDeviceStateCreateTextureAndPresentOnly)
{
    struct Recover
    {
        ~Recover() { InjectDeviceFault(GetCurrentProcessId(), S_OK); }
    } recover;
    for (const HRESULT fault : {D3DERR_DEVICEHUNG, D3DERR_DEVICEREMOVED})
    {
        ASSERT_TRUE(InjectDeviceFault(GetCurrentProcessId(), fault));
        EXPECT_EQ(fault, m_device.Get()->CheckDeviceState(nullptr));
        ComPtr<IDirect3DTexture9> texture;
        EXPECT_EQ(fault, m_device.Get()->CreateTexture(16, 16, 1, 0, D3DFMT_X8R8G8B8, D3DPOOL_DEFAULT, &texture,
                                                       nullptr));
        EXPECT_EQ(fault, m_device.Get()->PresentEx(nullptr, nullptr, nullptr, nullptr, 0));
        EXPECT_EQ(fault, m_device.Get()->Present(nullptr, nullptr, nullptr, nullptr));
        // A 9Ex device always answers S_OK here; CheckDeviceState replaces it.
        EXPECT_EQ(S_OK, m_device.Get()->TestCooperativeLevel());
    }
    ASSERT_TRUE(InjectDeviceFault(GetCurrentProcessId(), S_OK));
    EXPECT_EQ(S_OK, m_device.Get()->CheckDeviceState(m_device.Window()));
}

TEST_F(SharedTextureInOneProcess, UnknownReleasedOrMismatchedHandlesFailToOpen)
{
    ComPtr<IDirect3DTexture9> texture, opened;
    HANDLE handle = nullptr;
    ASSERT_EQ(S_OK, m_device.CreateShared(64, 32, D3DFMT_X8R8G8B8, &texture, &handle));

    EXPECT_EQ(E_INVALIDARG, m_device.OpenShared(HandleOf(0x7FFFFFF0), 64, 32, D3DFMT_X8R8G8B8, &opened));
    EXPECT_EQ(nullptr, opened.Get());
    EXPECT_EQ(E_INVALIDARG, m_device.OpenShared(handle, 65, 32, D3DFMT_X8R8G8B8, &opened));
    EXPECT_EQ(E_INVALIDARG, m_device.OpenShared(handle, 64, 32, D3DFMT_A8R8G8B8, &opened));
    // The whole description counts: levels, usage and pool too.
    HANDLE open = handle;
    EXPECT_EQ(E_INVALIDARG, m_device.Get()->CreateTexture(64, 32, 0, D3DUSAGE_RENDERTARGET, D3DFMT_X8R8G8B8,
                                                          D3DPOOL_DEFAULT, &opened, &open));
    EXPECT_EQ(E_INVALIDARG,
              m_device.Get()->CreateTexture(64, 32, 1, 0, D3DFMT_X8R8G8B8, D3DPOOL_DEFAULT, &opened, &open));
    EXPECT_EQ(D3DERR_INVALIDCALL,
              m_device.Get()->CreateTexture(64, 32, 1, 0, D3DFMT_X8R8G8B8, D3DPOOL_MANAGED, &opened, &open));
    EXPECT_EQ(nullptr, opened.Get());

    texture.Reset();
    EXPECT_EQ(E_INVALIDARG, m_device.OpenShared(handle, 64, 32, D3DFMT_X8R8G8B8, &opened));
    EXPECT_EQ(nullptr, opened.Get());
}

TEST_F(SharedTextureInOneProcess, AnotherDeviceGetsItsOwnTextureWithTheOwnersPixels)
{
    // As with the library's stub texture, the creator drops its device and
    // keeps only the texture.
    auto creator = std::make_unique<ShareTestDevice>();
    ASSERT_EQ(S_OK, creator->Create(D3DCREATE_HARDWARE_VERTEXPROCESSING | D3DCREATE_MULTITHREADED |
                                    D3DCREATE_FPU_PRESERVE | D3DCREATE_NOWINDOWCHANGES));
    ComPtr<IDirect3DTexture9> texture;
    HANDLE handle = nullptr;
    ASSERT_EQ(S_OK, creator->CreateShared(320, 200, D3DFMT_X8R8G8B8, &texture, &handle));
    ASSERT_EQ(S_OK, creator->Fill(texture.Get(), kRed, kYellow));
    ASSERT_EQ(S_OK, creator->Synchronise());
    creator.reset();

    ComPtr<IDirect3DTexture9> opened;
    ASSERT_EQ(S_OK, m_device.OpenShared(handle, 320, 200, D3DFMT_X8R8G8B8, &opened));
    EXPECT_NE(texture.Get(), opened.Get());
    ComPtr<IDirect3DDevice9> openedDevice;
    ASSERT_EQ(S_OK, opened->GetDevice(&openedDevice));
    EXPECT_EQ(static_cast<IDirect3DDevice9*>(m_device.Get()), openedDevice.Get());

    std::vector<uint32_t> pixels;
    ASSERT_EQ(S_OK, m_device.ReadPixels(opened.Get(), &pixels));
    ExpectPattern(pixels, 320, 200, kRed, kYellow);
}

TEST_F(SharedTextureInOneProcess, AnotherDeviceSeesWritesOnlyAfterTheCreatorsReadBack)
{
    ShareTestDevice creator;
    ASSERT_EQ(S_OK, creator.Create());
    ComPtr<IDirect3DTexture9> texture, opened;
    HANDLE handle = nullptr;
    ASSERT_EQ(S_OK, creator.CreateShared(64, 64, D3DFMT_X8R8G8B8, &texture, &handle));
    ASSERT_EQ(S_OK, creator.Fill(texture.Get(), kRed, kYellow));
    ASSERT_EQ(S_OK, m_device.OpenShared(handle, 64, 64, D3DFMT_X8R8G8B8, &opened));
    std::vector<uint32_t> pixels;
    ASSERT_EQ(S_OK, m_device.ReadPixels(opened.Get(), &pixels));
    EXPECT_EQ(kBlack, pixels.front());

    std::vector<uint32_t> own;
    ASSERT_EQ(S_OK, creator.ReadPixels(texture.Get(), &own));
    ASSERT_EQ(S_OK, m_device.ReadPixels(opened.Get(), &pixels));
    ExpectPattern(pixels, 64, 64, kRed, kYellow);
}

TEST_F(SharedTextureInOneProcess, SystemMemoryTextureStillTakesItsMemoryFromTheHandleArgument)
{
    std::vector<uint32_t> memory(16 * 16, 0x00ABCDEF);
    HANDLE userMemory = memory.data();
    ComPtr<IDirect3DTexture9> texture;
    ASSERT_EQ(S_OK, m_device.Get()->CreateTexture(16, 16, 1, 0, D3DFMT_X8R8G8B8, D3DPOOL_SYSTEMMEM, &texture,
                                                  &userMemory));
    EXPECT_EQ(static_cast<void*>(memory.data()), userMemory);
    D3DLOCKED_RECT locked{};
    ASSERT_EQ(S_OK, texture->LockRect(0, &locked, nullptr, D3DLOCK_READONLY));
    EXPECT_EQ(0x00ABCDEFu, *static_cast<const uint32_t*>(locked.pBits) & 0x00FFFFFF);
    texture->UnlockRect(0);
}

// A real second process owns the texture.
class SharedTextureAcrossProcesses : public testing::Test
{
protected:
    static constexpr UINT kWidth = 1280;
    static constexpr UINT kHeight = 720;

    void SetUp() override
    {
        ASSERT_EQ(S_OK, m_device.Create());
        m_blockName = "qv_d3d9share_test_" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++s_runs);
        ASSERT_TRUE(m_block.create(m_blockName, sizeof(OwnerControl)));
        ASSERT_TRUE(m_owner.Start(L"d3d9share-owner.exe", std::wstring(m_blockName.begin(), m_blockName.end()) +
                                                               L" 1280 720 " + HexW(kRed) + L" " + HexW(kYellow)));
        ASSERT_TRUE(PumpUntil([&] { return Control()->state != OWNER_STATE_STARTING; }, 20000));
        ASSERT_EQ(static_cast<uint32_t>(OWNER_STATE_READY), Control()->state) << std::hex << Control()->result;
        m_handle = HandleOf(Control()->handle);
    }

    void TearDown() override
    {
        if (m_owner.Handle() && WaitForSingleObject(m_owner.Handle(), 0) == WAIT_TIMEOUT)
        {
            Command(OWNER_COMMAND_QUIT);
            if (m_owner.Wait(5000) == STILL_ACTIVE)
                m_owner.Terminate(1);
        }
    }

    volatile OwnerControl* Control() { return static_cast<volatile OwnerControl*>(m_block.data()); }

    HRESULT Command(uint32_t command, uint32_t colour = 0)
    {
        Control()->command = command;
        Control()->colour = colour;
        MemoryBarrier();
        const uint32_t number = Control()->commandNumber + 1;
        Control()->commandNumber = number;
        if (!PumpUntil([&] { return Control()->doneNumber == number; }, 10000))
            return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
        return Control()->result;
    }


    static int s_runs;
    ShareTestDevice m_device;
    std::string m_blockName;
    SharedMemory m_block;
    TestProcess m_owner;
    HANDLE m_handle = nullptr;
};

int SharedTextureAcrossProcesses::s_runs = 0;

TEST_F(SharedTextureAcrossProcesses, OpenedTextureShowsTheOwnersPixelsAndFollowsItsLaterOnes)
{
    ComPtr<IDirect3DTexture9> opened;
    ASSERT_EQ(S_OK, m_device.OpenShared(m_handle, kWidth, kHeight, D3DFMT_X8R8G8B8, &opened));
    std::vector<uint32_t> pixels;
    ASSERT_EQ(S_OK, m_device.ReadPixels(opened.Get(), &pixels));
    ExpectPattern(pixels, kWidth, kHeight, kRed, kYellow);
    // Handles are unique across processes, not per process.
    ComPtr<IDirect3DTexture9> local;
    HANDLE localHandle = nullptr;
    ASSERT_EQ(S_OK, m_device.CreateShared(kWidth, kHeight, D3DFMT_X8R8G8B8, &local, &localHandle));
    EXPECT_NE(m_handle, localHandle);

    // A view of the owner's texture, not a snapshot: the texture already opened follows.
    ASSERT_EQ(S_OK, Command(OWNER_COMMAND_FILL, kBlue));
    ComPtr<IDirect3DTexture9> reopened;
    ASSERT_EQ(S_OK, m_device.OpenShared(m_handle, kWidth, kHeight, D3DFMT_X8R8G8B8, &reopened));
    ASSERT_EQ(S_OK, m_device.ReadPixels(reopened.Get(), &pixels));
    ExpectPattern(pixels, kWidth, kHeight, kBlue, kYellow);
    ASSERT_EQ(S_OK, m_device.ReadPixels(opened.Get(), &pixels));
    ExpectPattern(pixels, kWidth, kHeight, kBlue, kYellow);
}

TEST_F(SharedTextureAcrossProcesses, OwnersWritesShowOnlyAfterItsNextSynchronisation)
{
    ASSERT_EQ(S_OK, Command(OWNER_COMMAND_FILL_ONLY, kBlue));
    ComPtr<IDirect3DTexture9> opened;
    ASSERT_EQ(S_OK, m_device.OpenShared(m_handle, kWidth, kHeight, D3DFMT_X8R8G8B8, &opened));
    std::vector<uint32_t> pixels;
    ASSERT_EQ(S_OK, m_device.ReadPixels(opened.Get(), &pixels));
    ExpectPattern(pixels, kWidth, kHeight, kRed, kYellow);

    ASSERT_EQ(S_OK, Command(OWNER_COMMAND_PRESENT));
    ASSERT_EQ(S_OK, m_device.ReadPixels(opened.Get(), &pixels));
    ExpectPattern(pixels, kWidth, kHeight, kBlue, kYellow);
}

TEST_F(SharedTextureAcrossProcesses, OwnersWriteIntoATextureAnOpenerHoldsBoundIsRecorded)
{
    ComPtr<IDirect3DTexture9> opened;
    ASSERT_EQ(S_OK, m_device.OpenShared(m_handle, kWidth, kHeight, D3DFMT_X8R8G8B8, &opened));
    ASSERT_EQ(S_OK, m_device.Get()->SetTexture(0, opened.Get()));
    EXPECT_EQ(0, BoundWrites(m_handle));
    ASSERT_EQ(S_OK, Command(OWNER_COMMAND_FILL, kBlue));
    const LONG whileBound = BoundWrites(m_handle);
    EXPECT_GT(whileBound, 0);

    ASSERT_EQ(S_OK, m_device.Get()->SetTexture(0, nullptr));
    ASSERT_EQ(S_OK, Command(OWNER_COMMAND_FILL, kRed));
    EXPECT_EQ(whileBound, BoundWrites(m_handle));
}

TEST_F(SharedTextureAcrossProcesses, TwoDevicesOfOneProcessShowTheSameMemory)
{
    ShareTestDevice other;
    ASSERT_EQ(S_OK, other.Create());
    ComPtr<IDirect3DTexture9> first, second;
    ASSERT_EQ(S_OK, m_device.OpenShared(m_handle, kWidth, kHeight, D3DFMT_X8R8G8B8, &first));
    ASSERT_EQ(S_OK, Command(OWNER_COMMAND_FILL, kBlue));
    ASSERT_EQ(S_OK, other.OpenShared(m_handle, kWidth, kHeight, D3DFMT_X8R8G8B8, &second));
    std::vector<uint32_t> pixels;
    ASSERT_EQ(S_OK, m_device.ReadPixels(first.Get(), &pixels));
    ExpectPattern(pixels, kWidth, kHeight, kBlue, kYellow);
    ASSERT_EQ(S_OK, other.ReadPixels(second.Get(), &pixels));
    ExpectPattern(pixels, kWidth, kHeight, kBlue, kYellow);
}

TEST_F(SharedTextureAcrossProcesses, FaultsAreInjectedPerProcess)
{
    ASSERT_TRUE(InjectDeviceFault(m_owner.Id(), D3DERR_DEVICEHUNG));
    EXPECT_EQ(D3DERR_DEVICEHUNG, Command(OWNER_COMMAND_PRESENT));
    EXPECT_EQ(S_OK, m_device.Get()->CheckDeviceState(nullptr));
}

TEST_F(SharedTextureAcrossProcesses, WrongSizeOrReleasedTextureFailsToOpen)
{
    ComPtr<IDirect3DTexture9> opened;
    EXPECT_EQ(E_INVALIDARG, m_device.OpenShared(m_handle, kWidth, kHeight - 1, D3DFMT_X8R8G8B8, &opened));
    ASSERT_EQ(S_OK, Command(OWNER_COMMAND_RELEASE));
    EXPECT_EQ(E_INVALIDARG, m_device.OpenShared(m_handle, kWidth, kHeight, D3DFMT_X8R8G8B8, &opened));
    EXPECT_EQ(nullptr, opened.Get());
}

TEST_F(SharedTextureAcrossProcesses, EndedOwnerFailsTheOpenAtOnce)
{
    m_owner.Terminate(9);
    ASSERT_EQ(9u, m_owner.Wait(5000));
    ComPtr<IDirect3DTexture9> opened;
    EXPECT_EQ(E_INVALIDARG, OpenWithin(m_device, m_handle, kWidth, kHeight, &opened, 10000));
    EXPECT_EQ(nullptr, opened.Get());
}

TEST_F(SharedTextureAcrossProcesses, OwnerThatDoesNotAnswerGivesABlackTextureAfterABoundedWait)
{
    ASSERT_EQ(S_OK, Command(OWNER_COMMAND_HOLD_SERVICE));
    ComPtr<IDirect3DTexture9> opened;
    ASSERT_EQ(S_OK, OpenWithin(m_device, m_handle, kWidth, kHeight, &opened, 15000));
    std::vector<uint32_t> pixels;
    ASSERT_EQ(S_OK, m_device.ReadPixels(opened.Get(), &pixels));
    ASSERT_FALSE(pixels.empty());
    EXPECT_EQ(kBlack, pixels.front());
    EXPECT_EQ(kBlack, pixels[pixels.size() / 2]);
    EXPECT_EQ(kBlack, pixels.back());
}

TEST_F(SharedTextureAcrossProcesses, OpenersOnSeveralThreadsTakeTurnsAndAllGetThePixels)
{
    constexpr int kOpeners = 3;
    ShareTestDevice devices[kOpeners];
    for (ShareTestDevice& device : devices)
        ASSERT_EQ(S_OK, device.Create());
    std::future<HRESULT> opens[kOpeners];
    ComPtr<IDirect3DTexture9> opened[kOpeners];
    for (int i = 0; i < kOpeners; ++i)
        opens[i] = std::async(std::launch::async, [&, i] {
            return devices[i].OpenShared(m_handle, kWidth, kHeight, D3DFMT_X8R8G8B8, &opened[i]);
        });
    for (int i = 0; i < kOpeners; ++i)
    {
        ASSERT_EQ(S_OK, opens[i].get());
        std::vector<uint32_t> pixels;
        ASSERT_EQ(S_OK, devices[i].ReadPixels(opened[i].Get(), &pixels));
        ExpectPattern(pixels, kWidth, kHeight, kRed, kYellow);
    }
}

TEST_F(SharedTextureAcrossProcesses, HandlesOfAnEndedOwnerAreReusedWhenNoneIsLeft)
{
    // Every process with the stand-in shares the registry, so this runs only
    // as the ctest entry d3d9share-registry-tests, which runs alone.
    wchar_t serial[4] = {};
    if (GetEnvironmentVariableW(L"QV_D3D9SHARE_ALONE", serial, 4) == 0)
        GTEST_SKIP() << "fills the registry that all processes share; see d3d9share-registry-tests";

    const HRESULT made = Command(OWNER_COMMAND_FILL_REGISTRY);
    ASSERT_GT(made, 0);
    ComPtr<IDirect3DTexture9> texture;
    HANDLE handle = nullptr;
    EXPECT_EQ(E_OUTOFMEMORY, m_device.CreateShared(1, 1, D3DFMT_X8R8G8B8, &texture, &handle));

    m_owner.Terminate(9);
    ASSERT_EQ(9u, m_owner.Wait(5000));
    ASSERT_EQ(S_OK, m_device.CreateShared(1, 1, D3DFMT_X8R8G8B8, &texture, &handle));
    EXPECT_NE(nullptr, handle);
}
