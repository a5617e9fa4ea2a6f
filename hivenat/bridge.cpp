#include "bridge.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr char kExceptionClass[] = "com/bravik/service/registry/RegistryException";
constexpr char kStringClass[] = "java/lang/String";
constexpr char kStringArrayClass[] = "[Ljava/lang/String;";
constexpr char kByteArrayClass[] = "[B";
constexpr char kIntegerClass[] = "java/lang/Integer";
constexpr char kConstructor[] = "<init>";
constexpr char kStringConstructor[] = "(Ljava/lang/String;)V";
constexpr char kIntConstructor[] = "(I)V";
constexpr char kSetCode[] = "setCCode";
constexpr char kSetCodeSignature[] = "(I)V";
constexpr char kIntValue[] = "intValue";
constexpr char kIntValueSignature[] = "()I";

constexpr DWORD kMessageFlags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
constexpr DWORD kUserDefaultLanguage = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);
constexpr DWORD kStrictConversion = MB_PRECOMPOSED | MB_ERR_INVALID_CHARS;

static_assert(kMessageFlags == 0x1300 && kUserDefaultLanguage == 0x400 && kStrictConversion == 9);

// The registry types and the Java objects they cross as.
constexpr jint kRegSz = REG_SZ;
constexpr jint kRegExpandSz = REG_EXPAND_SZ;
constexpr jint kRegDword = REG_DWORD;
constexpr jint kRegMultiSz = REG_MULTI_SZ;
constexpr jint kRawTypeA = 1060;
constexpr jint kRawTypeB = static_cast<jint>(0x80000001u);
constexpr DWORD kHighestWritableType = REG_RESOURCE_REQUIREMENTS_LIST;  // 10

// The characters of a Java String, released when the owner goes.
class StringChars {
public:
    StringChars(JNIEnv* env, jstring string)
        : env_(env), string_(string), chars_(env->GetStringChars(string, nullptr))
    {
    }
    ~StringChars()
    {
        if (chars_)
            env_->ReleaseStringChars(string_, chars_);
    }
    StringChars(const StringChars&) = delete;
    StringChars& operator=(const StringChars&) = delete;

    const jchar* get() const { return chars_; }
    explicit operator bool() const { return chars_ != nullptr; }

private:
    JNIEnv* env_;
    jstring string_;
    const jchar* chars_;
};

// The C++ members of JNIEnv for the variadic calls go through the va_list slots
// (NewObjectV, CallIntMethodV, CallVoidMethodV); these go through the variadic slots themselves.
template <typename... Args>
jobject newObject(JNIEnv* env, jclass type, jmethodID constructor, Args... args)
{
    return env->functions->NewObject(env, type, constructor, args...);
}

template <typename... Args>
jint callIntMethod(JNIEnv* env, jobject object, jmethodID method, Args... args)
{
    return env->functions->CallIntMethod(env, object, method, args...);
}

template <typename... Args>
void callVoidMethod(JNIEnv* env, jobject object, jmethodID method, Args... args)
{
    env->functions->CallVoidMethod(env, object, method, args...);
}

bool isInstanceOf(JNIEnv* env, jobject object, const char* className)
{
    if (!object)
        return false;
    const jclass type = env->FindClass(className);
    return type && env->IsInstanceOf(object, type);
}

// The text of data up to its first NUL, never reading past length.
std::string boundedText(const char* data, DWORD length)
{
    return std::string(data, strnlen(data, length));
}

jobject newInteger(JNIEnv* env, jint value)
{
    const jclass type = env->FindClass(kIntegerClass);
    if (!type)
        return nullptr;
    const jmethodID constructor = env->GetMethodID(type, kConstructor, kIntConstructor);
    if (!constructor)
        return nullptr;
    return newObject(env, type, constructor, value);
}

// REG_MULTI_SZ: the strings before the empty one that ends the list, or before length runs out.
std::vector<std::string> multiStrings(const char* data, DWORD length)
{
    std::vector<std::string> strings;
    DWORD cursor = 0;
    while (cursor < length && data[cursor] != '\0') {
        strings.push_back(boundedText(data + cursor, length - cursor));
        cursor += static_cast<DWORD>(strings.back().size()) + 1;
    }
    return strings;
}

jint multiStringsToObject(JNIEnv* env, const char* data, DWORD length, jobject& out)
{
    const std::vector<std::string> strings = multiStrings(data, length);
    const jclass stringClass = env->FindClass(kStringClass);
    if (!stringClass)
        return kStatusJavaFailure;
    const jobjectArray array = env->NewObjectArray(static_cast<jsize>(strings.size()), stringClass, nullptr);
    if (!array)
        return kStatusJavaFailure;
    for (std::size_t i = 0; i < strings.size(); ++i) {
        const jstring element = toJavaString(env, strings[i].c_str());
        if (!element)
            return kStatusJavaFailure;
        env->SetObjectArrayElement(array, static_cast<jsize>(i), element);
    }
    out = array;
    return kStatusOk;
}

jint multiStringsToData(JNIEnv* env, jobject object, DWORD& length, HeapBlock& buffer)
{
    if (!isInstanceOf(env, object, kStringArrayClass))
        return kStatusInvalidParameter;
    const auto array = static_cast<jobjectArray>(object);
    const jsize count = env->GetArrayLength(array);
    auto convert = [&](jsize i) -> HeapBlock {
        const jobject element = env->GetObjectArrayElement(array, i);
        return isInstanceOf(env, element, kStringClass) ? toAnsiString(env, static_cast<jstring>(element))
                                                        : HeapBlock();
    };
    // First pass, last to first: the size; an element that does not convert is left out.
    DWORD total = 1;
    for (jsize i = count - 1; i >= 0; --i)
        if (const HeapBlock text = convert(i))
            total += static_cast<DWORD>(std::strlen(text.get())) + 1;
    HeapBlock block = allocateBlock(total);
    if (!block)
        return kStatusJavaFailure;
    // Second pass, first to last: the strings one after the other, each with its NUL.
    DWORD used = 0;
    for (jsize i = 0; i < count; ++i) {
        const HeapBlock text = convert(i);
        if (!text)
            continue;
        const DWORD size = static_cast<DWORD>(std::strlen(text.get())) + 1;
        if (used + size >= total)
            break;
        std::memcpy(block.get() + used, text.get(), size);
        used += size;
    }
    block.get()[used] = '\0';
    length = total;
    buffer = std::move(block);
    return kStatusOk;
}

} // namespace

HeapBlock allocateBlock(std::size_t size)
{
    return HeapBlock(static_cast<char*>(std::calloc(size ? size : 1, 1)));
}

void throwRegistryException(JNIEnv* env, jint status)
{
    if (!env || env->ExceptionOccurred())
        return;
    const jclass type = env->FindClass(kExceptionClass);
    if (!type)
        return;

    jobject exception = nullptr;
    char* text = nullptr;
    const DWORD length = FormatMessageA(kMessageFlags, nullptr, static_cast<DWORD>(status), kUserDefaultLanguage,
                                        reinterpret_cast<LPSTR>(&text), 0, nullptr);
    const UniqueLocalBlock message(text);
    if (length > 0 && text) {
        const jmethodID constructor = env->GetMethodID(type, kConstructor, kStringConstructor);
        // The message stays exactly as the system gave it, line break included.
        const jstring javaText = constructor ? toJavaString(env, text) : nullptr;
        exception = javaText ? newObject(env, type, constructor, javaText) : nullptr;
        if (exception) {
            if (const jmethodID setCode = env->GetMethodID(type, kSetCode, kSetCodeSignature))
                callVoidMethod(env, exception, setCode, status);
        }
    }
    if (!exception) {
        if (const jmethodID constructor = env->GetMethodID(type, kConstructor, kIntConstructor))
            exception = newObject(env, type, constructor, status);
    }
    if (exception)
        env->Throw(static_cast<jthrowable>(exception));
}

jint finish(JNIEnv* env, jint status)
{
    if (status != kStatusOk)
        throwRegistryException(env, status);
    return status;
}

HeapBlock toAnsiString(JNIEnv* env, jstring string)
{
    if (!string)
        return {};
    const StringChars chars(env, string);
    if (!chars)
        return {};
    const jsize length = env->GetStringLength(string);
    const auto* wide = reinterpret_cast<LPCWCH>(chars.get());
    if (length == 0)
        return allocateBlock(1);
    const int count = WideCharToMultiByte(CP_ACP, 0, wide, length, nullptr, 0, nullptr, nullptr);
    if (count == 0)
        return {};
    HeapBlock block = allocateBlock(static_cast<std::size_t>(count) + 1);
    if (!block)
        return {};
    BOOL usedDefault = FALSE;
    if (WideCharToMultiByte(CP_ACP, 0, wide, length, block.get(), count, nullptr, &usedDefault) == 0 ||
        usedDefault)
        return {};
    block.get()[count] = '\0';
    // A best-fit mapping (say, A for A with a macron) is a replacement too: the text must come
    // back as it went.
    std::vector<wchar_t> back(static_cast<std::size_t>(length) + 1);
    if (MultiByteToWideChar(CP_ACP, 0, block.get(), count, back.data(), length + 1) != length ||
        std::memcmp(back.data(), wide, static_cast<std::size_t>(length) * sizeof(wchar_t)) != 0)
        return {};
    return block;
}

jstring toJavaString(JNIEnv* env, const char* text)
{
    const int count = MultiByteToWideChar(CP_ACP, kStrictConversion, text, -1, nullptr, 0);
    if (count == 0 && text[0] != '\0')
        return nullptr;
    std::vector<wchar_t> units(count > 0 ? count : 1, L'\0');
    const bool converted = count > 0 && MultiByteToWideChar(CP_ACP, kStrictConversion, text, -1, units.data(), count) > 0;
    if (!converted && text[0] != '\0')
        return nullptr;
    return env->NewString(reinterpret_cast<const jchar*>(units.data()), count > 0 ? count - 1 : 0);
}

jint registryDataToObject(JNIEnv* env, jint type, DWORD length, const char* data, jobject& out)
{
    out = nullptr;
    switch (type) {
    case kRegSz:
    case kRegExpandSz: {
        // Expand-string text stays as it is stored, unexpanded.
        const jstring text = toJavaString(env, boundedText(data, length).c_str());
        if (!text)
            return kStatusJavaFailure;
        out = text;
        return kStatusOk;
    }
    case kRegDword: {
        // Little-endian; data shorter than four bytes counts what there is.
        unsigned char bytes[4] = {};
        std::memcpy(bytes, data, length < 4 ? length : 4);
        const jint value = static_cast<jint>(bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) |
                                             (static_cast<unsigned>(bytes[3]) << 24));
        const jobject integer = newInteger(env, value);
        if (!integer)
            return kStatusJavaFailure;
        out = integer;
        return kStatusOk;
    }
    case kRegMultiSz:
        return multiStringsToObject(env, data, length, out);
    case REG_NONE:
    case REG_BINARY:
    case REG_DWORD_BIG_ENDIAN:
    case REG_LINK:
    case REG_RESOURCE_LIST:
    case REG_FULL_RESOURCE_DESCRIPTOR:
    case REG_RESOURCE_REQUIREMENTS_LIST:
    case kRawTypeA:
    case kRawTypeB: {
        const jbyteArray bytes = env->NewByteArray(static_cast<jsize>(length));
        if (!bytes)
            return kStatusJavaFailure;
        env->SetByteArrayRegion(bytes, 0, static_cast<jsize>(length), reinterpret_cast<const jbyte*>(data));
        out = bytes;
        return kStatusOk;
    }
    default:
        return kStatusInvalidParameter;
    }
}

jint objectToRegistryData(JNIEnv* env, jint type, DWORD& length, HeapBlock& buffer, jobject object)
{
    length = 0;
    if (static_cast<DWORD>(type) > kHighestWritableType)
        return kStatusInvalidParameter;
    switch (type) {
    case kRegSz:
    case kRegExpandSz: {
        if (!isInstanceOf(env, object, kStringClass))
            return kStatusInvalidParameter;
        HeapBlock text = toAnsiString(env, static_cast<jstring>(object));
        if (!text)
            return kStatusInvalidParameter;
        length = static_cast<DWORD>(std::strlen(text.get())) + 1;
        buffer = std::move(text);
        return kStatusOk;
    }
    case kRegDword: {
        const jclass integerClass = env->FindClass(kIntegerClass);
        if (!integerClass)
            return kStatusInvalidParameter;
        const jmethodID intValue = env->GetMethodID(integerClass, kIntValue, kIntValueSignature);
        if (!intValue || !object || !env->IsInstanceOf(object, integerClass))
            return kStatusInvalidParameter;
        const jint value = callIntMethod(env, object, intValue);
        HeapBlock block = allocateBlock(4);
        if (!block)
            return kStatusInvalidParameter;
        for (int i = 0; i < 4; ++i)
            block.get()[i] = static_cast<char>((static_cast<DWORD>(value) >> (8 * i)) & 0xFF);
        length = 4;
        buffer = std::move(block);
        return kStatusOk;
    }
    case kRegMultiSz:
        return multiStringsToData(env, object, length, buffer);
    default: {
        if (!isInstanceOf(env, object, kByteArrayClass))
            return kStatusInvalidParameter;
        const auto array = static_cast<jbyteArray>(object);
        const ByteArrayElements elements(env, array, 0);
        if (!elements)
            return kStatusInvalidParameter;
        const DWORD size = static_cast<DWORD>(env->GetArrayLength(array));
        HeapBlock block = allocateBlock(size);
        if (!block)
            return kStatusInvalidParameter;
        std::memcpy(block.get(), elements.get(), size);
        length = size;
        buffer = std::move(block);
        return kStatusOk;
    }
    }
}

LONG queryValueLimits(HKEY key, DWORD* longestName, DWORD* largestData)
{
    return RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, longestName,
                            largestData, nullptr, nullptr);
}
