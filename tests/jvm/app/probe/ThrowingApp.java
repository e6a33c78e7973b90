package probe;

import java.io.FileOutputStream;
import java.io.IOException;

/**
 * Throws from main while another non-daemon thread of the application still works; that thread
 * writes "ended" to the file named by "probe.output" plus ".other" when it is done.
 */
public final class ThrowingApp {
    public static void main(String[] args) {
        String output = System.getProperty("probe.output");
        Thread other = new Thread(() -> {
            try {
                Thread.sleep(500);
                try (FileOutputStream out = new FileOutputStream(output + ".other")) {
                    out.write("ended".getBytes("UTF-8"));
                }
            } catch (InterruptedException | IOException e) {
                throw new IllegalStateException(e);
            }
        });
        other.start();
        throw new IllegalStateException("thrown by the application \u017c\u00f3\u0142w");
    }
}
