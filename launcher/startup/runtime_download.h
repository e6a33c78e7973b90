// The Download choice of the question dialog: fetches a Java runtime archive while the progress dialog
// shows what happens.
#pragma once

#include <windows.h>

// Shows the download status (message 20001 in control 1003, Cancel labelled with message 20012, the
// status line 1002 shown), downloads location into destination (a full path, so that nothing depends
// on the current directory), checks it against configuration 10202 (SHA-256) when that is set, and
// hides the status line again. Ends the process with message 20002 when the Internet functions cannot
// be bound, and with message 20003 followed by the reason when the download fails.
void downloadRuntime(HWND progressDialog, const char* location, const char* destination);
