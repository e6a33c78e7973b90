package probe;

import java.util.concurrent.Callable;

public final class ThrowingFirstRun implements Callable<Boolean> {
    @Override
    public Boolean call() {
        throw new IllegalStateException("the licence could not be shown");
    }
}
