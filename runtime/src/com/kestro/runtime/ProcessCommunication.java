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
 * file and passes the arguments to the registered listeners.
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
                if (file.isFile()) {
                    byte[] bytes = Files.readAllBytes(file.toPath());
                    if (file.delete()) {
                        String[] arguments = splitArguments(lineOf(bytes));
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

    static String lineOf(byte[] bytes) {
        String text = new String(bytes, StandardCharsets.UTF_16LE);
        if (text.startsWith("\uFEFF")) {
            text = text.substring(1);
        }
        int end = text.indexOf('\n');
        if (end >= 0) {
            text = text.substring(0, end);
        }
        return text.endsWith("\r") ? text.substring(0, text.length() - 1) : text;
    }

    /** The launcher's rule: blanks separate, double or single quotes group and are removed. */
    static String[] splitArguments(String line) {
        List<String> arguments = new ArrayList<>();
        StringBuilder current = new StringBuilder();
        boolean inArgument = false;
        char quote = 0;
        for (int i = 0; i < line.length(); i++) {
            char c = line.charAt(i);
            if (quote != 0) {
                if (c == quote) {
                    quote = 0;
                } else {
                    current.append(c);
                }
            } else if (c == '"' || c == '\'') {
                quote = c;
                inArgument = true;
            } else if (c == ' ') {
                if (inArgument) {
                    arguments.add(current.toString());
                    current.setLength(0);
                    inArgument = false;
                }
            } else {
                current.append(c);
                inArgument = true;
            }
        }
        if (inArgument) {
            arguments.add(current.toString());
        }
        return arguments.toArray(new String[0]);
    }
}
