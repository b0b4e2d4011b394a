// The active-plan GUIDs that PowerGetActiveScheme hands out, followed until
// the caller gives each to LocalFree exactly once. The counts land in the
// stand-in's key ("GuidsHandedOut", "GuidsNotFreed", "GuidsFreedTwice").
// Should the executable import LocalFree in a way the watch cannot find, no
// GUID is ever seen freed: a test then fails rather than passes unwatched.
#pragma once

#include <windows.h>

// A LocalAlloc'd copy of `guid` for the caller to LocalFree, now watched;
// null when out of memory.
GUID* hand_out_guid(const GUID& guid);
