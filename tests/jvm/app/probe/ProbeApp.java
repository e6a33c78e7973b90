package probe;

import com.kestro.runtime.KestroController;
import com.kestro.runtime.LaunchInfo;
import java.io.FileOutputStream;
import java.io.OutputStreamWriter;
import java.io.PrintWriter;
import java.nio.charset.StandardCharsets;

/** Writes what it received to the file named by "probe.output", one "key=value" line each. */
public final class ProbeApp {
    public static void main(String[] args) throws Exception {
        try (PrintWriter out = new PrintWriter(new OutputStreamWriter(
                new FileOutputStream(System.getProperty("probe.output")), StandardCharsets.UTF_8))) {
            out.println("count=" + args.length);
            for (int i = 0; i < args.length; i++) {
                out.println("arg" + i + "=" + args[i]);
            }
            for (String name : new String[] {"kestro.moduleName", "kestro.tempDir",
                    "kestro.unextractedPosition", "kestro.manualJre", "java.class.path"}) {
                out.println(name + "=" + System.getProperty(name));
            }
            out.println("executablePath=" + LaunchInfo.executablePath());
            out.println("unextractedPosition=" + LaunchInfo.unextractedPosition());
            out.println("manualRuntimeChoice=" + LaunchInfo.manualRuntimeChoice());
            out.println("program=" + LaunchInfo.program());
        }
        System.err.println("to the error log");
        System.out.println("to the output log");
        KestroController.setSplashText("Ready \u2713");
    }
}
