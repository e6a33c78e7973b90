package com.sorvana.runtime;

import java.util.concurrent.Callable;

/**
 * The first-run check of installer-kind launchers. When the first-run marker exists, the launcher
 * calls {@link #firstRun()} before the application's main; false stops the launch.
 *
 * <p>The application supplies the work by naming a class in the system property
 * "kestro.firstRunHandler" (for instance in the configured VM parameters): a public class with a
 * public no-argument constructor that implements {@code java.util.concurrent.Callable<Boolean>}.
 * Without a handler the launch goes on. A handler that throws stops the launch.
 */
public final class FirstRun {
    public static final String HANDLER_PROPERTY = "kestro.firstRunHandler";

    private FirstRun() {}

    public static boolean firstRun() throws Exception {
        String handlerName = System.getProperty(HANDLER_PROPERTY);
        if (handlerName == null || handlerName.isEmpty()) {
            return true;
        }
        Class<?> handlerClass = Class.forName(handlerName, true, ClassLoader.getSystemClassLoader());
        @SuppressWarnings("unchecked")
        Callable<Boolean> handler = (Callable<Boolean>) handlerClass.getConstructor().newInstance();
        Boolean goOn = handler.call();
        return goOn == null || goOn;
    }
}
