package probe;

import java.io.File;
import java.io.PrintStream;
import javax.swing.JFrame;
import javax.swing.JLabel;
import javax.swing.SwingUtilities;
import javax.swing.Timer;

/**
 * A small Swing window titled "Kestro probe window", shown from main's thread; it closes itself once
 * a file named "close" appears in the working directory, and the program then ends as every Swing
 * program does, with its last window.
 */
final class WindowProbe {
    private WindowProbe() {}

    static void show(PrintStream out) throws Exception {
        SwingUtilities.invokeAndWait(() -> {
            JFrame frame = new JFrame("Kestro probe window");
            frame.add(new JLabel("  Started by the Linux launcher on Java "
                    + System.getProperty("java.version") + "  "));
            frame.setDefaultCloseOperation(JFrame.DISPOSE_ON_CLOSE);
            frame.pack();
            frame.setLocation(40, 40);
            frame.setVisible(true);
            new Timer(100, event -> {
                if (new File("close").exists()) {
                    ((Timer) event.getSource()).stop();
                    frame.dispose();
                }
            }).start();
        });
        out.println("window shown");
    }
}
