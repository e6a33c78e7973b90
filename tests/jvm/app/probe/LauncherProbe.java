package probe;

import com.kestro.runtime.LaunchInfo;
import com.kestro.runtime.ProcessCommunication;
import java.io.FileDescriptor;
import java.io.FileOutputStream;
import java.io.PrintStream;
import java.lang.management.ManagementFactory;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;

/**
 * Started by a packed launcher: prints what it received on standard output in UTF-8, one "key=value"
 * line each (the system its launcher names, the runtime, its working directory and PATH, the
 * arguments, the VM options given as -Xss or -Dprobe.*, the depth of recursion its thread's stack
 * allows), then does what its last argument
 * asks: "exit=N" ends with System.exit(N), "throw" throws from main, "wait" prints the arguments of a
 * later start once they are handed over (at most a minute), "window" shows a small Swing window
 * ({@link WindowProbe}), anything else returns.
 */
public final class LauncherProbe {
    private static int depth;

    public static void main(String[] args) throws Exception {
        PrintStream out = new PrintStream(new FileOutputStream(FileDescriptor.out), true, "UTF-8");
        CountDownLatch handedOver = new CountDownLatch(1);
        ProcessCommunication.addListener(arguments -> {
            out.println("handedOver=" + String.join("|", arguments));
            handedOver.countDown();
        });
        out.println("platform=" + LaunchInfo.platform());
        out.println("java.home=" + System.getProperty("java.home"));
        out.println("java.version=" + System.getProperty("java.version"));
        out.println("user.dir=" + System.getProperty("user.dir"));
        out.println("PATH=" + System.getenv("PATH"));
        for (String argument : args) {
            out.println("arg=" + argument);
        }
        for (String option : ManagementFactory.getRuntimeMXBean().getInputArguments()) {
            if (option.startsWith("-Xss") || option.startsWith("-Dprobe.")) {
                out.println("vm=" + option);
            }
        }
        try {
            recurse();
        } catch (StackOverflowError expected) {
            out.println("depth=" + depth);
        }
        String last = args.length > 0 ? args[args.length - 1] : "";
        if (last.startsWith("exit=")) {
            System.exit(Integer.parseInt(last.substring(5)));
        } else if (last.equals("throw")) {
            throw new IllegalStateException("thrown by the probe \u017c\u00f3\u0142w");
        } else if (last.equals("wait")) {
            out.println("waiting");
            out.println("received=" + handedOver.await(1, TimeUnit.MINUTES));
        } else if (last.equals("window")) {
            WindowProbe.show(out);
        }
    }

    private static void recurse() {
        depth++;
        recurse();
    }
}
