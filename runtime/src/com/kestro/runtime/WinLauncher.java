package com.kestro.runtime;

import java.io.File;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.PrintStream;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * The class the native launcher calls. Its arguments start with six launcher parameters, always all
 * six: the GUI flag, the application's main class, the error-log path, the output-log path (each
 * empty when not configured), the append flag and the program as it was invoked (empty when the
 * command line was); the application's own arguments follow.
 *
 * <p>The append flag ("true" or "false") decides whether the two log files keep what earlier runs
 * wrote (true) or start empty (false). Both paths naming one file give one stream for both. A log
 * that cannot be opened does not stop the application: its stream stays where it was and says why.
 *
 * <p>{@link #main} comes back to the launcher only when the application has ended: once its main
 * method has returned or thrown and the application's other non-daemon threads have ended as well,
 * which is when {@code java} would end. The launcher then destroys the VM knowing that nothing of the
 * application runs any more. An exception thrown by the application's main is reported on the error
 * stream at once, as {@code java} reports it, and thrown to the launcher at the end.
 *
 * <p>The application's arguments are the project's own (their number in the system property
 * "kestro.configuredArgumentCount", absent for none) followed by the command line's. The launcher's
 * switches on the command line are its own business: they are taken out here and offered through
 * {@link LaunchInfo#launcherSwitches()}, so that "App.exe -c" shows the console without the
 * application seeing a "-c" it may answer with its usage.
 */
public final class WinLauncher {
    static final int PARAMETER_COUNT = 6;
    private static final List<String> SWITCHES = Arrays.asList("-q", "-c", "-console", "-manual", "/manual");

    private WinLauncher() {}

    public static void main(String[] args) throws Throwable {
        Throwable uncaught = null;
        try {
            run(args);
        } catch (Throwable t) {
            uncaught = t;
            reportUncaught(t);
        }
        awaitOtherNonDaemonThreads();
        if (uncaught != null) {
            throw uncaught;
        }
    }

    private static void run(String[] args) throws Throwable {
        if (args.length < PARAMETER_COUNT) {
            throw new IllegalArgumentException("expected the launcher parameters, got " + args.length);
        }
        LaunchInfo.setProgram(args[5]);
        LaunchInfo.setGuiApplication(Boolean.parseBoolean(args[0]));
        redirectLogs(args[2], args[3], Boolean.parseBoolean(args[4]));
        ProcessCommunication.startWatching();

        List<String> switches = new ArrayList<>();
        String[] applicationArgs = withoutLauncherSwitches(args, configuredArgumentCount(), switches);
        LaunchInfo.setLauncherSwitches(switches);
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

    /** The number of the project's own arguments; 0 when the launcher did not say or said nonsense. */
    static int configuredArgumentCount() {
        try {
            return Math.max(0, Integer.parseInt(System.getProperty("kestro.configuredArgumentCount", "0")));
        } catch (NumberFormatException e) {
            return 0;
        }
    }

    /**
     * The application's arguments: those after the launcher parameters, less the launcher's switches
     * among the command line's (after the first configured ones, which are the project's own and
     * reach main whatever they say). The switches taken out are added to switches, in order.
     */
    static String[] withoutLauncherSwitches(String[] args, int configured, List<String> switches) {
        List<String> kept = new ArrayList<>();
        int firstFromCommandLine = PARAMETER_COUNT + Math.min(configured, args.length - PARAMETER_COUNT);
        for (int i = PARAMETER_COUNT; i < args.length; i++) {
            if (i >= firstFromCommandLine && SWITCHES.contains(args[i])) {
                switches.add(args[i]);
            } else {
                kept.add(args[i]);
            }
        }
        return kept.toArray(new String[0]);
    }

    /**
     * As for any thread that ends with an exception: its handler decides, and the default one prints
     * "Exception in thread "main"" and the stack on System.err, which is the error log when one is
     * configured. The application's other threads go on.
     */
    private static void reportUncaught(Throwable uncaught) {
        Thread self = Thread.currentThread();
        try {
            self.getUncaughtExceptionHandler().uncaughtException(self, uncaught);
        } catch (Throwable ignored) {
            // A handler that fails itself is ignored, as the VM ignores it.
        }
    }

    /** Waits until no live non-daemon thread other than this one is left. */
    static void awaitOtherNonDaemonThreads() {
        Thread self = Thread.currentThread();
        boolean interrupted = false;
        for (Thread other = otherNonDaemonThread(self); other != null; other = otherNonDaemonThread(self)) {
            try {
                other.join();
            } catch (InterruptedException e) {
                interrupted = true;
            }
        }
        if (interrupted) {
            self.interrupt();
        }
    }

    private static Thread otherNonDaemonThread(Thread self) {
        ThreadGroup root = self.getThreadGroup();
        while (root.getParent() != null) {
            root = root.getParent();
        }
        Thread[] threads = new Thread[root.activeCount() + 8];
        int count;
        while ((count = root.enumerate(threads, true)) == threads.length) {
            threads = new Thread[threads.length * 2];
        }
        for (int i = 0; i < count; i++) {
            Thread thread = threads[i];
            if (thread != self && thread.isAlive() && !thread.isDaemon()) {
                return thread;
            }
        }
        return null;
    }

    static void redirectLogs(String errorPath, String outputPath, boolean append) {
        PrintStream error = open(errorPath, append, System.err, "error");
        if (error != null) {
            System.setErr(error);
        }
        // Two streams on one file would each truncate it and write over each other.
        PrintStream output = error != null && sameFile(errorPath, outputPath)
                ? error
                : open(outputPath, append, System.out, "output");
        if (output != null) {
            System.setOut(output);
        }
    }

    /** The opened log, or null when none is configured or it cannot be opened (said on current). */
    private static PrintStream open(String path, boolean append, PrintStream current, String which) {
        if (path == null || path.isEmpty()) {
            return null;
        }
        try {
            return new PrintStream(new FileOutputStream(path, append), true);
        } catch (IOException | SecurityException e) {
            current.println("The " + which + " log " + path + " could not be opened (" + e.getMessage()
                    + "); this stream stays where it was.");
            return null;
        }
    }

    static boolean sameFile(String first, String second) {
        if (first == null || second == null || first.isEmpty() || second.isEmpty()) {
            return false;
        }
        File a = new File(first);
        File b = new File(second);
        try {
            return a.getCanonicalFile().equals(b.getCanonicalFile());
        } catch (IOException e) {
            return a.getAbsoluteFile().equals(b.getAbsoluteFile());
        }
    }
}
