package com.kestro.runtime;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;

/**
 * Checks of the runtime jar's own behaviour that the native tests cannot see: the second-instance
 * hand-over and the log files (append flag, unopenable logs, one file for both). Run with the jar and this class on the class
 * path and a scratch directory as the only argument; exits with 1 after listing what failed.
 */
public final class RuntimeSelfTest {
    private static final List<String> FAILURES = new ArrayList<>();

    private RuntimeSelfTest() {}

    public static void main(String[] args) throws Throwable {
        File directory = new File(args[0]);
        directory.mkdirs();
        splittingFollowsTheLauncherRule();
        onlyCompleteLinesAreTaken();
        secondInstanceArgumentsReachTheListeners(new File(directory, "kqx_p4242.tmp"));
        appendFlagKeepsOrTruncatesTheLogs(directory);
        unopenableLogsLeaveTheStreamsAndOneFileTakesBoth(directory);
        if (!FAILURES.isEmpty()) {
            for (String failure : FAILURES) {
                System.err.println("FAILED: " + failure);
            }
            System.exit(1);
        }
        System.out.println("all runtime checks passed");
    }

    private static void check(boolean condition, String what) {
        if (!condition) {
            FAILURES.add(what);
        }
    }

    private static void checkEquals(Object expected, Object actual, String what) {
        boolean same = expected instanceof Object[]
                ? Arrays.equals((Object[]) expected, (Object[]) actual)
                : expected.equals(actual);
        check(same, what + ": expected " + describe(expected) + ", got " + describe(actual));
    }

    private static String describe(Object value) {
        return value instanceof Object[] ? Arrays.toString((Object[]) value) : String.valueOf(value);
    }

    private static void splittingFollowsTheLauncherRule() {
        String[][] rows = {
            {"a b", "a", "b"},
            {"  a   b  ", "a", "b"},
            {"\"two words\" c", "two words", "c"},
            {"'it \"quoted\"' d", "it \"quoted\"", "d"},
            // The closing quote ends the argument, as in the launcher's own splitting.
            {"pre\"fix suf\"fix", "prefix suf", "fix"},
            {"\"a b\"c", "a b", "c"},
            {"a \"\" b", "a", "", "b"},
            {"'don\"t' x", "don\"t", "x"},
            {"unpaired \"rest of it", "unpaired", "rest of it"},
            {"C:\\dir\\file.txt", "C:\\dir\\file.txt"},
            {""},
        };
        for (String[] row : rows) {
            checkEquals(Arrays.copyOfRange(row, 1, row.length),
                    ProcessCommunication.splitArguments(row[0]), "split of [" + row[0] + "]");
        }
    }

    private static byte[] utf16(String text) {
        return text.getBytes(StandardCharsets.UTF_16LE);
    }

    private static void onlyCompleteLinesAreTaken() {
        checkEquals("a \u00e9\u4e2d b", ProcessCommunication.lineOf(utf16("a \u00e9\u4e2d b\n")), "line");
        checkEquals("x", ProcessCommunication.lineOf(utf16("x\r\nrest")), "line ending in CR LF");
        check(ProcessCommunication.lineOf(utf16("half writ")) == null, "a line without newline is left");
    }

    private static void secondInstanceArgumentsReachTheListeners(File file) throws Exception {
        file.delete();
        BlockingQueue<String[]> received = new LinkedBlockingQueue<>();
        ProcessCommunication.Listener listener = received::add;
        ProcessCommunication.addListener(listener);
        System.setProperty("kestro.processCommFile", file.getPath());
        ProcessCommunication.startWatching();

        Thread watcher = null;
        for (Thread thread : Thread.getAllStackTraces().keySet()) {
            if (thread.getName().equals("kestro-process-communication")) {
                watcher = thread;
            }
        }
        check(watcher != null && watcher.isDaemon(), "the watcher runs as a daemon thread");

        // A later instance still writing: nothing is taken, the file stays.
        Files.write(file.toPath(), utf16("first \"two"));
        String[] early = received.poll(4 * ProcessCommunication.POLL_MILLIS, TimeUnit.MILLISECONDS);
        check(early == null, "a half-written line is not passed on: " + describe(early));
        check(file.exists(), "a half-written hand-over is left in place");

        Files.write(file.toPath(), utf16("first \"two words\" '\u00e9'\n"));
        String[] arguments = received.poll(5, TimeUnit.SECONDS);
        checkEquals(new String[] {"first", "two words", "\u00e9"}, arguments, "hand-over arguments");
        check(!file.exists(), "the file is deleted after reading");

        // The next hand-over waits for the file to be gone; it is taken the same way.
        Files.write(file.toPath(), utf16("-open x.txt\n"));
        checkEquals(new String[] {"-open", "x.txt"}, received.poll(5, TimeUnit.SECONDS), "second hand-over");
        ProcessCommunication.removeListener(listener);
    }

    /** Stands in for the application's main class: one line to each stream. */
    public static final class Printer {
        public static void main(String[] args) {
            System.out.println("out " + args[0]);
            System.err.println("err " + args[0]);
        }
    }

    private static String read(File file) throws IOException {
        return new String(Files.readAllBytes(file.toPath()), StandardCharsets.UTF_8);
    }

    private static void appendFlagKeepsOrTruncatesTheLogs(File directory) throws Throwable {
        PrintStream out = System.out;
        PrintStream err = System.err;
        String separator = System.lineSeparator();
        for (String append : new String[] {"true", "false"}) {
            File errorLog = new File(directory, "error-" + append + ".log");
            File outputLog = new File(directory, "output-" + append + ".log");
            Files.write(errorLog.toPath(), ("earlier run" + separator).getBytes(StandardCharsets.UTF_8));
            Files.write(outputLog.toPath(), ("earlier run" + separator).getBytes(StandardCharsets.UTF_8));
            try {
                WinLauncher.main(new String[] {"false", Printer.class.getName(), errorLog.getPath(),
                    outputLog.getPath(), append, "C:\\app\\App.exe", "now"});
            } finally {
                System.setOut(out);
                System.setErr(err);
            }
            String kept = append.equals("true") ? "earlier run" + separator : "";
            checkEquals(kept + "err now" + separator, read(errorLog), "error log with append " + append);
            checkEquals(kept + "out now" + separator, read(outputLog), "output log with append " + append);
            checkEquals("C:\\app\\App.exe", LaunchInfo.program(), "program");
        }
    }

    private static void unopenableLogsLeaveTheStreamsAndOneFileTakesBoth(File directory) throws Throwable {
        PrintStream out = System.out;
        PrintStream err = System.err;
        String separator = System.lineSeparator();
        ByteArrayOutputStream capturedOut = new ByteArrayOutputStream();
        ByteArrayOutputStream capturedErr = new ByteArrayOutputStream();
        File missing = new File(directory, "no such folder");
        File shared = new File(directory, "both.log");
        Files.write(shared.toPath(), ("earlier run" + separator).getBytes(StandardCharsets.UTF_8));
        try {
            System.setOut(new PrintStream(capturedOut, true, "UTF-8"));
            System.setErr(new PrintStream(capturedErr, true, "UTF-8"));
            WinLauncher.main(new String[] {"false", Printer.class.getName(),
                new File(missing, "error.log").getPath(), new File(missing, "output.log").getPath(), "false",
                "C:\\app\\App.exe", "anyway"});
            // The same file named in two ways, without append: one stream, nothing written over.
            WinLauncher.main(new String[] {"false", Printer.class.getName(), shared.getPath(),
                new File(new File(directory, "."), "both.log").getPath(), "false", "C:\\app\\App.exe", "both"});
        } finally {
            System.setOut(out);
            System.setErr(err);
        }
        String errText = new String(capturedErr.toByteArray(), StandardCharsets.UTF_8);
        String outText = new String(capturedOut.toByteArray(), StandardCharsets.UTF_8);
        check(errText.startsWith("The error log " + new File(missing, "error.log").getPath() + " could not be opened")
                && errText.endsWith("this stream stays where it was." + separator + "err anyway" + separator),
                "an unopenable error log leaves the stream and says why: " + errText);
        check(outText.startsWith("The output log " + new File(missing, "output.log").getPath() + " could not be opened")
                && outText.endsWith("this stream stays where it was." + separator + "out anyway" + separator),
                "an unopenable output log leaves the stream and says why: " + outText);
        checkEquals("out both" + separator + "err both" + separator, read(shared), "one file for both logs");
    }
}
