package probe;

/** Returns from main at once; another non-daemon thread ends the program with System.exit(3). */
public final class ExitingApp {
    public static void main(String[] args) {
        new Thread(() -> {
            try {
                Thread.sleep(200);
            } catch (InterruptedException e) {
                throw new IllegalStateException(e);
            }
            System.exit(3);
        }).start();
    }
}
