package com.kestro.runtime;

import java.io.File;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CopyOnWriteArrayList;

/**
 * Arguments of later starts of the same executable. When the launcher allows one instance only, a
 * second start writes its command line as one UTF-16LE line into the file named by the property
 * "kestro.processCommFile" and ends; a daemon thread of the first instance reads it, deletes the
 * file and passes the arguments to the registered listeners. While no listener is registered the
 * file is left where it is.
 */
public final class ProcessCommunication {
    /** Receives the arguments of a later start. Called on the watching thread. */
    public interface Listener {
        void secondInstanceStarted(String[] arguments);
    }

    static final long POLL_MILLIS = 200;
    private static final List<Listener> LISTENERS = new CopyOnWriteArrayList<>();
    private static Thread watcher;

    private ProcessCommunication() {}

    public static void addListener(Listener listener) {
        LISTENERS.add(listener);
    }

    public static void removeListener(Listener listener) {
        LISTENERS.remove(listener);
    }

    /** Starts the watching thread once, when the launcher named a file. */
    public static synchronized void startWatching() {
        String name = System.getProperty("kestro.processCommFile");
        if (watcher != null || name == null || name.isEmpty()) {
            return;
        }
        final File file = new File(name);
        watcher = new Thread(() -> watch(file), "kestro-process-communication");
        watcher.setDaemon(true);
        watcher.start();
    }

    private static void watch(File file) {
        while (true) {
            try {
                // Left in place until someone listens: arguments that come before the application
                // has registered its listener are not lost.
                if (!LISTENERS.isEmpty() && file.isFile()) {
                    String line = lineOf(Files.readAllBytes(file.toPath()));
                    if (line != null && file.delete()) {
                        String[] arguments = splitArguments(line);
                        for (Listener listener : LISTENERS) {
                            listener.secondInstanceStarted(arguments);
                        }
                    }
                }
                Thread.sleep(POLL_MILLIS);
            } catch (InterruptedException e) {
                return;
            } catch (IOException | RuntimeException e) {
                // The second instance may still be writing; the next poll reads it again.
                try {
                    Thread.sleep(POLL_MILLIS);
                } catch (InterruptedException stop) {
                    return;
                }
            }
        }
    }

    /**
     * The first line of the file, without its line end; null while the newline that ends the line
     * has not been written yet, so that a half-written hand-over is left for the next poll.
     */
    static String lineOf(byte[] bytes) {
        String text = new String(bytes, StandardCharsets.UTF_16LE);
        if (text.startsWith("\uFEFF")) {
            text = text.substring(1);
        }
        int end = text.indexOf('\n');
        if (end < 0) {
            return null;
        }
        text = text.substring(0, end);
        return text.endsWith("\r") ? text.substring(0, text.length() - 1) : text;
    }

    /**
     * The launcher's own rule, so that a hand-over gives the arguments the second instance had:
     * blanks separate; a double or single quote groups up to the next quote of its kind, the quotes
     * are dropped and the closing quote ends the argument (text before the opening quote starts it).
     * There is no escape character. An unpaired quote cannot arrive (the second instance would have
     * stopped on it); here it groups the rest of the line.
     */
    static String[] splitArguments(String line) {
        List<String> arguments = new ArrayList<>();
        int rest = 0;
        while (rest < line.length()) {
            if (line.charAt(rest) == ' ') {
                rest++;
                continue;
            }
            int blank = indexOrEnd(line, ' ', rest);
            int opening = Math.min(indexOrEnd(line, '"', rest), indexOrEnd(line, '\'', rest));
            if (blank < opening) {
                arguments.add(line.substring(rest, blank));
                rest = blank + 1;
                continue;
            }
            if (opening == line.length()) {
                arguments.add(line.substring(rest));
                break;
            }
            int closing = indexOrEnd(line, line.charAt(opening), opening + 1);
            arguments.add(line.substring(rest, opening) + line.substring(opening + 1, closing));
            rest = closing + 1;
            if (rest < line.length() && line.charAt(rest) == ' ') {
                rest++;
            }
        }
        return arguments.toArray(new String[0]);
    }

    private static int indexOrEnd(String text, char c, int from) {
        int at = text.indexOf(c, from);
        return at < 0 ? text.length() : at;
    }
}
