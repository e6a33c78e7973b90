package probe;

public final class ThrowingApp {
    public static void main(String[] args) {
        throw new IllegalStateException("thrown by the application");
    }
}
