// A program that does nothing: the campaign starts it many times to measure
// what one process start costs the starting process under Wine.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    return 0;
}
