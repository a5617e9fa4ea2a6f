// Owners for what a native method borrows from the Java runtime.
#pragma once

#include <jni.h>

// The elements of a Java byte array, given back with the chosen release mode (0: copy back
// and free; JNI_ABORT: free only) when the owner goes; null when the runtime could not give them.
class ByteArrayElements {
public:
    ByteArrayElements(JNIEnv* env, jbyteArray array, jint releaseMode)
        : env_(env), array_(array), mode_(releaseMode), elements_(env->GetByteArrayElements(array, nullptr))
    {
    }
    ~ByteArrayElements()
    {
        if (elements_)
            env_->ReleaseByteArrayElements(array_, elements_, mode_);
    }
    ByteArrayElements(const ByteArrayElements&) = delete;
    ByteArrayElements& operator=(const ByteArrayElements&) = delete;

    jbyte* get() const { return elements_; }
    explicit operator bool() const { return elements_ != nullptr; }

private:
    JNIEnv* env_;
    jbyteArray array_;
    jint mode_;
    jbyte* elements_;
};
