#include "frame.h"

#include <cstring>

CString copyByteArrayToCString(JNIEnv* env, jbyteArray array)
{
    if (!array)
        return {};
    const jsize length = env->GetArrayLength(array);
    const ByteArrayElements elements(env, array, 0);
    if (!elements)
        return {};
    CString block(static_cast<char*>(std::calloc(static_cast<std::size_t>(length) + 2, 1)));
    if (block)
        std::memcpy(block.get(), elements.get(), length);
    return block;
}

jbyteArray newByteArrayFromCString(JNIEnv* env, const char* text)
{
    const jsize length = static_cast<jsize>(std::strlen(text));
    const jbyteArray array = env->NewByteArray(length);
    if (!array)
        return nullptr;
    env->SetByteArrayRegion(array, 0, length, reinterpret_cast<const jbyte*>(text));
    return array;
}
