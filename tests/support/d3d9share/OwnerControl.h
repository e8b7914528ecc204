// The block through which a test drives d3d9share-owner.exe, the second
// process that creates and fills a shared texture.
#pragma once

#include <cstddef>
#include <cstdint>

enum : uint32_t
{
    OWNER_STATE_STARTING = 0,
    OWNER_STATE_READY = 1,  // handle is valid and the texture filled
    OWNER_STATE_FAILED = 2, // result holds the failing HRESULT
};

enum : uint32_t
{
    OWNER_COMMAND_FILL = 1,         // fill again with colour as background, then synchronise (event query)
    OWNER_COMMAND_RELEASE = 2,      // release the texture
    OWNER_COMMAND_HOLD_SERVICE = 3, // take the copy service's turn and keep it, as a hung owner would
    OWNER_COMMAND_QUIT = 4,
    OWNER_COMMAND_FILL_REGISTRY = 5, // make 1 x 1 shared textures until no handle is left; result = their count
    OWNER_COMMAND_FILL_ONLY = 6,     // fill again with colour as background, no synchronisation
    OWNER_COMMAND_PRESENT = 7,       // present the device's back buffer
};

#pragma pack(push, 8)
struct OwnerControl
{
    uint64_t handle;
    uint32_t state;
    int32_t result;
    uint32_t command;
    uint32_t colour;
    uint32_t commandNumber; // written last by the test
    uint32_t doneNumber;    // written last by the owner
};
#pragma pack(pop)
static_assert(sizeof(OwnerControl) == 32, "OwnerControl layout");
static_assert(offsetof(OwnerControl, commandNumber) == 24, "OwnerControl layout");

// Exit codes of "d3d9share-owner.exe which".
constexpr int kOwnerUsesSystemD3d9 = 0;
constexpr int kOwnerUsesStandIn = 10;
