package com.kestro.runtime;

import java.io.FileOutputStream;
import java.io.IOException;
import java.io.PrintStream;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.util.Arrays;

/**
 * The class the native launcher calls. Its arguments start with six launcher parameters: the GUI
 * flag, the application's main class, the error-log path, the output-log path (each empty when not
 * configured), the append flag and the program as it was invoked; the application's own arguments
 * follow.
 *
 * <p>The append flag ("true" or "false") decides whether the two log files keep what earlier runs
 * wrote (true) or start empty (false).
 */
public final class WinLauncher {
    static final int PARAMETER_COUNT = 6;

    private WinLauncher() {}

    public static void main(String[] args) throws Throwable {
        if (args.length < PARAMETER_COUNT - 1) {
            throw new IllegalArgumentException("expected the launcher parameters, got " + args.length);
        }
        boolean append = Boolean.parseBoolean(args[4]);
        LaunchInfo.setProgram(args.length >= PARAMETER_COUNT ? args[5] : "");
        LaunchInfo.setGuiApplication(Boolean.parseBoolean(args[0]));
        redirect(args[2], append, true);
        redirect(args[3], append, false);
        ProcessCommunication.startWatching();

        String[] applicationArgs = args.length > PARAMETER_COUNT
                ? Arrays.copyOfRange(args, PARAMETER_COUNT, args.length)
                : new String[0];
        Class<?> mainClass = Class.forName(args[1], true, ClassLoader.getSystemClassLoader());
        Method main = mainClass.getMethod("main", String[].class);
        if (!Modifier.isStatic(main.getModifiers())) {
            throw new NoSuchMethodException(args[1] + ".main(String[]) is not static");
        }
        main.setAccessible(true);
        try {
            main.invoke(null, (Object) applicationArgs);
        } catch (InvocationTargetException e) {
            // The application's own exception, not the reflection wrapper, reaches the launcher.
            throw e.getCause();
        }
    }

    private static void redirect(String path, boolean append, boolean errorStream) throws IOException {
        if (path == null || path.isEmpty()) {
            return;
        }
        PrintStream stream = new PrintStream(new FileOutputStream(path, append), true);
        if (errorStream) {
            System.setErr(stream);
        } else {
            System.setOut(stream);
        }
    }
}
