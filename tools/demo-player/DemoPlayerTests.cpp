#include "FrameTally.h"
#include "Handles.h"
#include "PngFile.h"
#include "TestProcess.h"

#include <gtest/gtest.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <algorithm>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace
{
FrameParams Frame(uint64_t handle, uint16_t width = 640, uint16_t height = 360)
{
    FrameParams frame{};
    frame.textureHandle = handle;
    frame.width = width;
    frame.height = height;
    frame.format = 22;
    return frame;
}

// Decodes a PNG file to opaque-or-not BGRA values 0xAARRGGBB.
HRESULT ReadPng(const std::wstring& path, UINT* width, UINT* height, std::vector<uint32_t>* pixels)
{
    ComPtr<IWICImagingFactory> factory;
    HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory));
    ComPtr<IWICBitmapDecoder> decoder;
    if (SUCCEEDED(hr))
        hr = factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ, WICDecodeMetadataCacheOnDemand,
                                                &decoder);
    GUID container{};
    if (SUCCEEDED(hr))
        hr = decoder->GetContainerFormat(&container);
    if (SUCCEEDED(hr) && !IsEqualGUID(container, GUID_ContainerFormatPng))
        hr = E_FAIL;
    ComPtr<IWICBitmapFrameDecode> frame;
    if (SUCCEEDED(hr))
        hr = decoder->GetFrame(0, &frame);
    ComPtr<IWICBitmapSource> converted;
    if (SUCCEEDED(hr))
        hr = WICConvertBitmapSource(GUID_WICPixelFormat32bppBGRA, frame.Get(), &converted);
    if (SUCCEEDED(hr))
        hr = converted->GetSize(width, height);
    if (FAILED(hr))
        return hr;
    pixels->resize(static_cast<size_t>(*width) * *height);
    return converted->CopyPixels(nullptr, *width * 4, static_cast<UINT>(pixels->size() * 4),
                                 reinterpret_cast<BYTE*>(pixels->data()));
}

std::wstring TempFolder(const wchar_t* name)
{
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + name + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

} // namespace

TEST(FrameTally, CountsEachDescriptorChangeOnceAndIgnoresEmptyPolls)
{
    FrameTally tally(25.0);
    tally.StartSpan(10.0);
    EXPECT_FALSE(tally.Observe(FrameParams{}));
    EXPECT_TRUE(tally.Observe(Frame(0x100)));
    EXPECT_FALSE(tally.Observe(Frame(0x100)));
    EXPECT_FALSE(tally.Observe(FrameParams{})); // no frame: the last one stays current
    EXPECT_FALSE(tally.Observe(Frame(0x100)));
    EXPECT_TRUE(tally.Observe(Frame(0x200)));
    EXPECT_TRUE(tally.Observe(Frame(0x100)));
    EXPECT_TRUE(tally.Observe(Frame(0x100, 320, 240))); // same texture, new shape
    EXPECT_EQ(4, tally.Delivered());
    EXPECT_EQ(8, tally.Polls());

    // A new span counts its first frame even when it is the one shown before.
    tally.StartSpan(20.0);
    EXPECT_EQ(0, tally.Delivered());
    EXPECT_TRUE(tally.Observe(Frame(0x100, 320, 240)));
}

TEST(FrameTally, DropsAreDueFramesThatNeverShowed)
{
    FrameTally tally(25.0);
    tally.StartSpan(3.0);
    EXPECT_EQ(0, tally.Expected(2.0)); // before the span
    EXPECT_EQ(25, tally.Expected(4.0));
    EXPECT_EQ(7, tally.Expected(3.3)); // 0.3 s of 25 fps, not rounded down to 7.4999
    for (uint64_t i = 1; i <= 20; ++i)
        tally.Observe(Frame(i));
    EXPECT_EQ(5, tally.Dropped(4.0));
    EXPECT_DOUBLE_EQ(20.0, tally.DeliveredPerSecond(4.0));
    for (uint64_t i = 21; i <= 27; ++i)
        tally.Observe(Frame(i));
    EXPECT_EQ(0, tally.Dropped(4.0)); // more than due is no negative drop

    FrameTally sightings(25.0);
    EXPECT_TRUE(sightings.IsFirstSighting(Frame(7)));
    sightings.NoteSighting(Frame(7));
    EXPECT_FALSE(sightings.IsFirstSighting(Frame(7, 320, 240)));
    EXPECT_EQ(1u, sightings.DistinctTextures());
}

TEST(PngFile, WrittenPixelsDecodeOpaqueAndInPlace)
{
    ScopedComInit com(COINIT_APARTMENTTHREADED);
    const std::wstring folder = TempFolder(L"qv-png-");
    const std::wstring path = folder + L"\\three-by-two.png";
    // Alpha bits as a texture read-back may leave them: the file must be opaque anyway.
    const std::vector<uint32_t> pixels = {0x00FF0000, 0x0000FF00, 0x000000FF,
                                          0x12345678, 0x00FFFFFF, 0x00000000};
    ASSERT_EQ(S_OK, WritePng(path, 3, 2, pixels));

    UINT width = 0, height = 0;
    std::vector<uint32_t> read;
    ASSERT_EQ(S_OK, ReadPng(path, &width, &height, &read));
    EXPECT_EQ(3u, width);
    EXPECT_EQ(2u, height);
    ASSERT_EQ(pixels.size(), read.size());
    for (size_t i = 0; i < pixels.size(); ++i)
        EXPECT_EQ((pixels[i] & 0x00FFFFFF) | 0xFF000000u, read[i]) << "pixel " << i;

    EXPECT_EQ(E_INVALIDARG, WritePng(folder + L"\\short.png", 3, 3, pixels));
    EXPECT_EQ(E_INVALIDARG, WritePng(folder + L"\\empty.png", 0, 2, {}));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((folder + L"\\short.png").c_str()));
    DeleteFileW(path.c_str());
    RemoveDirectoryW(folder.c_str());
}

// The whole demo in server stub mode: the server hands back this program's own
// green shared texture, which the demo reads back through its handle.
TEST(DemoPlayer, StubModeWritesTheStubTextureAsPng)
{
    ScopedComInit com(COINIT_APARTMENTTHREADED);
    const std::wstring folder = TempFolder(L"qv-demo-stub-");
    const DWORD exitCode = RunProgram(L"qvfx-demo-player.exe",
                                      L"--stub --media \"" + TestMedia(L"clip-rgb.mp4") + L"\" --out \"" + folder + L"\"",
                                      60000);
    EXPECT_EQ(0u, exitCode);

    const std::wstring path = folder + L"\\paused-at-start.png";
    UINT width = 0, height = 0;
    std::vector<uint32_t> read;
    ASSERT_EQ(S_OK, ReadPng(path, &width, &height, &read));
    ASSERT_EQ(1280u, width);
    ASSERT_EQ(720u, height);
    EXPECT_EQ(0xFF00A000u, read[200 * 1280 + 640]);  // the green background
    EXPECT_EQ(0xFFFFFFFFu, read[5 * 1280 + 5]);      // the white corner mark: the picture is upright
    EXPECT_EQ(0xFFFFFFFFu, read[361 * 1280 + 100]);  // the white band from the middle down
    DeleteFileW(path.c_str());
    RemoveDirectoryW(folder.c_str());
}

TEST(DemoPlayer, AFileThatIsNotMediaEndsTheDemoWithAFailure)
{
    const std::wstring folder = TempFolder(L"qv-demo-bad-");
    const DWORD exitCode =
        RunProgram(L"qvfx-demo-player.exe",
                   L"--media \"" + TestMedia(L"not-media.mp4") + L"\" --out \"" + folder + L"\"", 60000);
    EXPECT_EQ(1u, exitCode);
    RemoveDirectoryW(folder.c_str());
}

namespace
{
// 0 red, 1 green, 2 blue, -1 anything else: the three seconds of clip-rgb.
int ClipColour(uint32_t pixel)
{
    const int r = (pixel >> 16) & 0xFF, g = (pixel >> 8) & 0xFF, b = pixel & 0xFF;
    if (r > 200 && g < 60 && b < 60)
        return 0;
    if (g > 200 && r < 60 && b < 60)
        return 1;
    if (b > 200 && r < 60 && g < 60)
        return 2;
    return -1;
}
} // namespace

// Real playback: the frames the demo reads back by handle follow the clip's
// red, green, blue seconds in order (the exact second depends on start latency).
TEST(DemoPlayer, FramesOfRealPlaybackFollowTheClipsColours)
{
    ScopedComInit com(COINIT_APARTMENTTHREADED);
    const std::wstring folder = TempFolder(L"qv-demo-rgb-");
    RunProgram(L"qvfx-demo-player.exe",
               L"--media \"" + TestMedia(L"clip-rgb.mp4") + L"\" --out \"" + folder + L"\"", 120000);

    // The shots are named by the time they were taken, which drifts under load;
    // names of one pass sort in time order.
    std::vector<std::wstring> names{L"paused-at-start"};
    std::vector<std::wstring> pass;
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((folder + L"\\first-pass-*.png").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE)
    {
        do
            pass.emplace_back(found.cFileName, wcslen(found.cFileName) - 4);
        while (FindNextFileW(search, &found));
        FindClose(search);
    }
    std::sort(pass.begin(), pass.end());
    EXPECT_EQ(3u, pass.size()) << "shots of the first pass";
    names.insert(names.end(), pass.begin(), pass.end());

    int last = 0;
    for (const std::wstring& name : names)
    {
        const std::wstring path = folder + L"\\" + name + L".png";
        UINT width = 0, height = 0;
        std::vector<uint32_t> read;
        if (name == L"paused-at-start" &&
            GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
            continue; // the paused picture is reported apart when it is missing
        ASSERT_EQ(S_OK, ReadPng(path, &width, &height, &read)) << "frame " << name;
        ASSERT_EQ(320u, width);
        ASSERT_EQ(240u, height);
        const int colour = ClipColour(read[120 * 320 + 160]);
        EXPECT_NE(-1, colour) << "frame " << name << std::hex << " pixel " << read[120 * 320 + 160];
        EXPECT_LE(last, colour) << "frame " << name;
        if (colour >= 0)
            last = colour;
        DeleteFileW(path.c_str());
    }
    EXPECT_GE(last, 1) << "playback never left the first second";
    DeleteFileW((folder + L"\\after-seek-0.6s.png").c_str());
    RemoveDirectoryW(folder.c_str());
}
