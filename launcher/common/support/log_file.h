// The system's side of the native log (support/log.h): where the log is and how its stream is held
// while one line is written.
#pragma once

#include <cstdio>

// The log's stream, opened by the first call (made by the start-up before any other thread runs);
// null when no log could be opened.
FILE* openedLogStream();

// Keep other threads' lines out of the stream while one line is written.
void lockLogStream(FILE* stream);
void unlockLogStream(FILE* stream);
