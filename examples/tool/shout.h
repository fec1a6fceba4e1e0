// shout.dll: the example tool's own DLL.
#pragma once

#ifdef SHOUT_BUILD
#define SHOUT_API extern "C" __declspec(dllexport)
#else
#define SHOUT_API extern "C" __declspec(dllimport)
#endif

// Turns the ASCII letters of text into capitals, in place.
SHOUT_API void shout(char* text);
