// The splash window. Until it can be shown, hiding it is a no-op that error reporting may call at
// any time.
#pragma once

// Closes the splash window if one is shown. Safe from any thread.
void hideSplash();
