package probe;

import java.awt.BorderLayout;
import javax.swing.JButton;
import javax.swing.JMenu;
import javax.swing.JMenuBar;
import javax.swing.JPanel;
import javax.swing.JScrollPane;
import javax.swing.JTable;
import javax.swing.JTextField;
import javax.swing.JTree;

/**
 * Builds the Swing components of a small window without showing it (headless), then prints its
 * first line: what a desktop program loads before the user sees anything. With "exit" as its first
 * argument it ends through System.exit(0) instead of returning.
 */
public final class DesktopApp {
    public static void main(String[] args) {
        JPanel panel = new JPanel(new BorderLayout());
        panel.add(new JButton("Open"), BorderLayout.NORTH);
        panel.add(new JScrollPane(new JTable(5, 5)), BorderLayout.CENTER);
        panel.add(new JTextField("text"), BorderLayout.SOUTH);
        panel.add(new JTree(), BorderLayout.EAST);
        JMenuBar menus = new JMenuBar();
        menus.add(new JMenu("File"));
        panel.setSize(400, 300);
        panel.doLayout();
        System.out.println("window built with " + panel.getComponentCount() + " parts");
        System.out.flush();
        if (args.length > 0 && args[0].equals("exit"))
            System.exit(0);
    }
}
