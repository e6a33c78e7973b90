package com.kestro.runtime;

/**
 * The splash screen's controller. The launcher polls {@link #getAction()} ten times a second; the
 * application calls {@link #setSplashText(String)} or {@link #closeSplash()} from any thread.
 */
public final class KestroController {
    static final int NOTHING = 0;
    static final int CLOSE = 1;
    static final int NEW_TEXT = 2;

    private static final Object LOCK = new Object();
    private static String pendingText;
    private static boolean closeRequested;

    private KestroController() {}

    /** Shows text in the splash screen's status line at the launcher's next poll. */
    public static void setSplashText(String text) {
        synchronized (LOCK) {
            pendingText = text;
        }
    }

    /** Closes the splash screen at the launcher's next poll. */
    public static void closeSplash() {
        synchronized (LOCK) {
            closeRequested = true;
        }
    }

    /** For the launcher: 1 close, 2 new text waiting, 0 nothing. Closing wins over a text. */
    public static int getAction() {
        synchronized (LOCK) {
            if (closeRequested) {
                closeRequested = false;
                return CLOSE;
            }
            return pendingText != null ? NEW_TEXT : NOTHING;
        }
    }

    /** For the launcher: the waiting text, handed out once; null when there is none. */
    public static String getText() {
        synchronized (LOCK) {
            String text = pendingText;
            pendingText = null;
            return text;
        }
    }
}
