package com.kestro.runtime;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;

/**
 * What the native launcher told the application: read from the system properties it sets and from
 * the launcher parameters.
 */
public final class LaunchInfo {
    private static volatile String program = "";
    private static volatile boolean guiApplication;
    private static volatile List<String> launcherSwitches = Collections.emptyList();

    private LaunchInfo() {}

    /** The full path of the executable that started the VM, or null outside a launcher. */
    public static String executablePath() {
        return System.getProperty("kestro.moduleName");
    }

    /** The directory the included files were extracted to; empty when there were none. */
    public static String temporaryDirectory() {
        return System.getProperty("kestro.tempDir");
    }

    /**
     * The offset in the executable of the first payload byte that was not extracted, or -1 when the
     * launcher did not say. A long: executables beyond 2 GB are allowed.
     */
    public static long unextractedPosition() {
        String value = System.getProperty("kestro.unextractedPosition");
        try {
            return value == null ? -1 : Long.parseLong(value);
        } catch (NumberFormatException e) {
            return -1;
        }
    }

    /** True when the user chose the Java runtime by hand ("-manual"). */
    public static boolean manualRuntimeChoice() {
        return Boolean.getBoolean("kestro.manualJre");
    }

    /** The program as it was invoked (the first word of its command line). */
    public static String program() {
        return program;
    }

    /** True for a GUI application. */
    public static boolean guiApplication() {
        return guiApplication;
    }

    /**
     * The launcher's own switches on the command line ("-q", "-c", "-console", "-manual",
     * "/manual"), in their order, repeats included. The launcher acted on them; main does not
     * receive them. Empty outside a launcher.
     */
    public static List<String> launcherSwitches() {
        return launcherSwitches;
    }

    /** True when the command line held the launcher's switch, for example "-c" (console mode). */
    public static boolean hasLauncherSwitch(String name) {
        return launcherSwitches.contains(name);
    }

    static void setLauncherSwitches(List<String> switches) {
        launcherSwitches = Collections.unmodifiableList(new ArrayList<>(switches));
    }

    static void setProgram(String value) {
        program = value;
    }

    static void setGuiApplication(boolean value) {
        guiApplication = value;
    }
}
