package probe;

import com.kestro.runtime.KestroController;
import com.kestro.runtime.LaunchInfo;
import com.kestro.runtime.ProcessCommunication;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.OutputStreamWriter;
import java.io.PrintWriter;
import java.nio.charset.StandardCharsets;

/**
 * Appends what it received to the file named by "probe.output", one "key=value" line each, and
 * listens for a later start's arguments, which it writes to that name plus ".handover".
 */
public final class ProbeApp {
    public static void main(String[] args) throws Exception {
        String output = System.getProperty("probe.output");
        try (PrintWriter out = writer(output)) {
            out.println("count=" + args.length);
            for (int i = 0; i < args.length; i++) {
                out.println("arg" + i + "=" + args[i]);
            }
            for (String name : new String[] {"kestro.semaphoreName", "kestro.moduleName", "kestro.tempDir",
                    "kestro.unextractedPosition", "kestro.manualJre", "kestro.consoleCodepage",
                    "java.class.path"}) {
                out.println(name + "=" + System.getProperty(name));
            }
            out.println("executablePath=" + LaunchInfo.executablePath());
            out.println("unextractedPosition=" + LaunchInfo.unextractedPosition());
            out.println("manualRuntimeChoice=" + LaunchInfo.manualRuntimeChoice());
            out.println("program=" + LaunchInfo.program());
            out.println("launcherSwitches=" + LaunchInfo.launcherSwitches());
            out.println("console=" + LaunchInfo.hasLauncherSwitch("-c"));
        }
        ProcessCommunication.addListener(arguments -> {
            try (PrintWriter handedOver = writer(output + ".handover")) {
                for (String argument : arguments) {
                    handedOver.println(argument);
                }
                handedOver.println("end");
            } catch (IOException e) {
                throw new IllegalStateException(e);
            }
        });
        System.err.println("to the error log");
        System.out.println("to the output log");
        KestroController.setSplashText("Ready \u2713");
    }

    private static PrintWriter writer(String path) throws IOException {
        return new PrintWriter(
                new OutputStreamWriter(new FileOutputStream(path, true), StandardCharsets.UTF_8));
    }
}
