// Stand-in until the main loop lands: file watches are not re-pointed yet.
#include "MainLoop.h"

void SyncFileWatches() {}
