// The splash thread's questions to the application's controller class
// "com/kestro/runtime/KestroController": whether to close the splash or to show new status text.
// Free of Win32, so that the build host runs it against a real JVM; only the splash thread calls it.
#pragma once

#include <string>

enum class SplashRequest { Nothing, NewText, Close };

// One poll, made every tick, inside a use of the VM (vm_state). Attaches the calling thread when it
// is not attached yet (without a VM the answer is Nothing and the next poll tries again; once the VM
// is closed every answer is Nothing). After the first attachment the controller
// and its methods "getAction" "()I" and "getText" "()Ljava/lang/String;" are looked up once; without
// them every poll answers Nothing. Otherwise getAction decides: 1 Close, 2 NewText when getText gave
// a text (its UTF-16 units are put into text; null means no change and answers Nothing), anything
// else Nothing. A Java exception thrown by either method is cleared and answers Nothing.
SplashRequest pollSplashController(std::u16string& text);

// Detaches the calling thread if a poll attached it and the VM is not closed yet.
void endSplashPolling();
