package com.example;

import javax.swing.JOptionPane;

/** The example application: greets whoever started it, in a dialog or on the console. */
public final class Hello {
    private Hello() {}

    public static void main(String[] args) {
        String who = args.length > 0 ? String.join(" ", args) : "world";
        String greeting = "Hello, " + who + "! (Java " + System.getProperty("java.version") + ")";
        System.out.println(greeting);
        if (!java.awt.GraphicsEnvironment.isHeadless() && System.console() == null) {
            JOptionPane.showMessageDialog(null, greeting, "Hello", JOptionPane.INFORMATION_MESSAGE);
        }
    }
}
