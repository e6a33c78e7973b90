#include "splash/splash_controller.h"

#include "launch/vm_state.h"

#include <jni.h>

namespace {

constexpr char kControllerClass[] = "com/kestro/runtime/KestroController";
constexpr jint kActionClose = 1;
constexpr jint kActionNewText = 2;

// The splash thread's own: written and read only there.
JNIEnv* env = nullptr;
jclass controller = nullptr;
jmethodID getAction = nullptr;
jmethodID getText = nullptr;

// A pending exception would make every later call on this thread undefined.
bool threw() {
    if (!env->ExceptionCheck())
        return false;
    env->ExceptionClear();
    return true;
}

// Once per attachment: an application without a controller keeps its configured texts.
void lookUpController() {
    controller = env->FindClass(kControllerClass);
    if (threw() || controller == nullptr) {
        controller = nullptr;
        return;
    }
    getAction = env->GetStaticMethodID(controller, "getAction", "()I");
    if (threw())
        getAction = nullptr;
    getText = env->GetStaticMethodID(controller, "getText", "()Ljava/lang/String;");
    if (threw())
        getText = nullptr;
}

} // namespace

SplashRequest pollSplashController(std::u16string& text) {
    // Inside a use: the launch closes the VM before destroying it, and from then on the splash keeps
    // what it shows.
    VmUse use;
    if (!use)
        return SplashRequest::Nothing;
    if (env == nullptr) {
        env = attachToVm();
        if (env == nullptr)
            return SplashRequest::Nothing;
        lookUpController();
    }
    if (controller == nullptr || getAction == nullptr || getText == nullptr)
        return SplashRequest::Nothing;

    // int action = KestroController.getAction();
    const jint action = env->CallStaticIntMethod(controller, getAction);
    if (threw())
        return SplashRequest::Nothing;
    if (action == kActionClose)
        return SplashRequest::Close;
    if (action != kActionNewText)
        return SplashRequest::Nothing;

    // String next = KestroController.getText();
    jstring next = static_cast<jstring>(env->CallStaticObjectMethod(controller, getText));
    if (threw() || next == nullptr)
        return SplashRequest::Nothing;
    const jsize length = env->GetStringLength(next);
    const jchar* units = env->GetStringChars(next, nullptr);
    if (units == nullptr) {
        threw();
        env->DeleteLocalRef(next);
        return SplashRequest::Nothing;
    }
    text.assign(reinterpret_cast<const char16_t*>(units), static_cast<size_t>(length));
    env->ReleaseStringChars(next, units);
    // The thread never returns to Java, so its local references would pile up until it detaches.
    env->DeleteLocalRef(next);
    return SplashRequest::NewText;
}

void endSplashPolling() {
    if (env == nullptr)
        return;
    // A VM closed meanwhile is not touched again: the thread stays attached as a daemon, which the
    // VM's end does not wait for.
    if (VmUse use{})
        detachFromVm();
    env = nullptr;
    controller = nullptr;
    getAction = nullptr;
    getText = nullptr;
}
