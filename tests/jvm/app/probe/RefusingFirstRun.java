package probe;

import java.util.concurrent.Callable;

public final class RefusingFirstRun implements Callable<Boolean> {
    @Override
    public Boolean call() {
        return false;
    }
}
