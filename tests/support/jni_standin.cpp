#include "jni_standin.h"

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace jni_standin {

namespace {

constexpr std::size_t kSlotCount = sizeof(JNINativeInterface_) / sizeof(void*);

#define SLOT_OF(member) static_cast<int>(offsetof(JNINativeInterface_, member) / sizeof(void*))

// A slot nothing may use: the program ends at once, naming it.
template <std::size_t Slot>
void forbiddenSlot()
{
    std::fprintf(stderr, "\nJNI function table slot %u was called; the stand-in does not allow it\n",
                 static_cast<unsigned>(Slot));
    std::printf("\nJNI function table slot %u was called; the stand-in does not allow it\n",
                static_cast<unsigned>(Slot));
    std::fflush(nullptr);
    ExitProcess(99);
}

template <std::size_t... Slots>
void fillForbidden(void** slots, std::index_sequence<Slots...>)
{
    ((slots[Slots] = reinterpret_cast<void*>(&forbiddenSlot<Slots>)), ...);
}

JavaVm& vm(JNIEnv* env)
{
    return JavaVm::of(env);
}

template <typename T>
T* as(JavaVm& machine, jobject handle, const char* what)
{
    auto* typed = dynamic_cast<T*>(machine.object(handle));
    if (!typed)
        machine.reportMisuse(std::string(what) + " on an object of the wrong kind or null");
    return typed;
}

std::u16string decodeModifiedUtf8(const char* text)
{
    std::u16string out;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        if (*p < 0x80) {
            out += static_cast<char16_t>(*p++);
        } else if ((*p & 0xE0) == 0xC0 && p[1]) {
            out += static_cast<char16_t>(((p[0] & 0x1F) << 6) | (p[1] & 0x3F));
            p += 2;
        } else if ((*p & 0xF0) == 0xE0 && p[1] && p[2]) {
            out += static_cast<char16_t>(((p[0] & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F));
            p += 3;
        } else {
            out += u'\uFFFD';
            ++p;
        }
    }
    return out;
}

// The argument types of a method signature: 'I', 'Z', 'J', 'L' (objects and arrays) ...
std::vector<char> argumentKinds(const std::string& signature)
{
    std::vector<char> kinds;
    for (std::size_t i = 1; i < signature.size() && signature[i] != ')'; ++i) {
        char kind = signature[i];
        if (kind == '[') {
            while (signature[i] == '[')
                ++i;
            if (signature[i] == 'L')
                i = signature.find(';', i);
            kind = 'L';
        } else if (kind == 'L') {
            i = signature.find(';', i);
        }
        kinds.push_back(kind);
    }
    return kinds;
}

std::vector<jvalue> readArguments(const Method& method, va_list args)
{
    std::vector<jvalue> values;
    for (char kind : argumentKinds(method.signature)) {
        jvalue value{};
        switch (kind) {
        case 'J': value.j = va_arg(args, jlong); break;
        case 'F':
        case 'D': value.d = va_arg(args, double); break;
        case 'L': value.l = va_arg(args, jobject); break;
        default: value.i = va_arg(args, jint); break;
        }
        values.push_back(value);
    }
    return values;
}

// The functions of the table that the stand-in implements.

jclass JNICALL jniFindClass(JNIEnv* env, const char* name)
{
    JavaVm& machine = vm(env);
    machine.count(SLOT_OF(FindClass));
    Class* type = machine.findClass(name);
    if (!type)
        machine.throwNew("java/lang/NoClassDefFoundError", name);
    return reinterpret_cast<jclass>(type);
}

jint JNICALL jniThrowObject(JNIEnv* env, jthrowable exception)
{
    JavaVm& machine = vm(env);
    machine.count(SLOT_OF(Throw));
    if (!exception) {
        machine.reportMisuse("Throw with null");
        return -1;
    }
    machine.setPending(exception);
    return 0;
}

jthrowable JNICALL jniExceptionOccurred(JNIEnv* env)
{
    JavaVm& machine = vm(env);
    machine.count(SLOT_OF(ExceptionOccurred));
    return machine.pendingException();
}

jobject JNICALL jniNewObject(JNIEnv* env, jclass type, jmethodID methodId, ...)
{
    JavaVm& machine = vm(env);
    machine.count(SLOT_OF(NewObject));
    auto* method = reinterpret_cast<Method*>(methodId);
    auto* owner = as<Class>(machine, type, "NewObject");
    if (!owner || !method || method->name != "<init>") {
        machine.reportMisuse("NewObject without a class and a constructor");
        return nullptr;
    }
    va_list args;
    va_start(args, methodId);
    const std::vector<jvalue> values = readArguments(*method, args);
    va_end(args);
    jobject made = machine.newInstance(owner);
    method->body(*machine.instance(made), values);
    return made;
}

jclass JNICALL jniGetObjectClass(JNIEnv* env, jobject object)
{
    JavaVm& machine = vm(env);
    machine.count(SLOT_OF(GetObjectClass));
    if (!object) {
        machine.reportMisuse("GetObjectClass of null");
        return nullptr;
    }
    return reinterpret_cast<jclass>(machine.object(object)->type);
}

jboolean JNICALL jniIsInstanceOf(JNIEnv* env, jobject object, jclass type)
{
    JavaVm& machine = vm(env);
    machine.count(SLOT_OF(IsInstanceOf));
    if (!object)
        return JNI_TRUE;
    return machine.object(object)->type == reinterpret_cast<Class*>(type) ? JNI_TRUE : JNI_FALSE;
}

jmethodID JNICALL jniGetMethodId(JNIEnv* env, jclass type, const char* name, const char* signature)
{
    JavaVm& machine = vm(env);
    machine.count(SLOT_OF(GetMethodID));
    if (auto* owner = as<Class>(machine, type, "GetMethodID"))
        for (const auto& method : owner->methods)
            if (method->name == name && method->signature == signature)
                return reinterpret_cast<jmethodID>(method.get());
    machine.throwNew("java/lang/NoSuchMethodError", name);
    return nullptr;
}

jvalue callMethod(JavaVm& machine, jobject object, jmethodID methodId, va_list args)
{
    auto* method = reinterpret_cast<Method*>(methodId);
    Instance* self = machine.instance(object);
    if (!method || !self) {
        machine.reportMisuse("a method call without a method or an object");
        return jvalue{};
    }
    return method->body(*self, readArguments(*method, args));
}

jint JNICALL jniCallIntMethod(JNIEnv* env, jobject object, jmethodID methodId, ...)
{
    JavaVm& machine = vm(env);
    machine.count(SLOT_OF(CallIntMethod));
    va_list args;
    va_start(args, methodId);
    const jvalue result = callMethod(machine, object, methodId, args);
    va_end(args);
    return result.i;
}

void JNICALL jniCallVoidMethod(JNIEnv* env, jobject object, jmethodID methodId, ...)
{
    JavaVm& machine = vm(env);
    machine.count(SLOT_OF(CallVoidMethod));
    va_list args;
    va_start(args, methodId);
    callMethod(machine, object, methodId, args);
    va_end(args);
}

jfieldID JNICALL jniGetFieldId(JNIEnv* env, jclass type, const char* name, const char* signature)
{
    JavaVm& machine = vm(env);
    machine.count(SLOT_OF(GetFieldID));
    if (auto* owner = as<Class>(machine, type, "GetFieldID"))
        for (const auto& field : owner->fields)
            if (field->name == name && field->signature == signature)
                return reinterpret_cast<jfieldID>(field.get());
    machine.throwNew("java/lang/NoSuchFieldError", name);
    return nullptr;
}

jint JNICALL jniGetIntField(JNIEnv* env, jobject object, jfieldID fieldId)
{
    JavaVm& machine = vm(env);
    machine.count(SLOT_OF(GetIntField));
    Instance* self = machine.instance(object);
    auto* field = reinterpret_cast<Field*>(fieldId);
    if (!self || !field) {
        machine.reportMisuse("GetIntField without an object or a field");
        return 0;
    }
    return self->intFields[field->name];
}

void JNICALL jniSetIntField(JNIEnv* env, jobject object, jfieldID fieldId, jint value)
{
    JavaVm& machine = vm(env);
    machine.count(SLOT_OF(SetIntField));
    Instance* self = machine.instance(object);
    auto* field = reinterpret_cast<Field*>(fieldId);
    if (!self || !field) {
        machine.reportMisuse("SetIntField without an object or a field");
        return;
    }
    self->intFields[field->name] = value;
}

jstring JNICALL jniNewString(JNIEnv* env, const jchar* chars, jsize length)
{
    JavaVm& machine = vm(env);
    machine.count(SLOT_OF(NewString));
    if (length < 0 || (length > 0 && !chars)) {
        machine.reportMisuse("NewString with a bad length or no characters");
        return nullptr;
    }
    return machine.newString(std::u16string_view(reinterpret_cast<const char16_t*>(chars), length));
}

jsize JNICALL jniGetStringLength(JNIEnv* env, jstring string)
{
    JavaVm& machine = vm(env);
    machine.count(SLOT_OF(GetStringLength));
    auto* text = as<String>(machine, string, "GetStringLength");
    return text ? static_cast<jsize>(text->chars.size()) : 0;
}

const jchar* JNICALL jniGetStringChars(JNIEnv* env, jstring string, jboolean* isCopy)
{
    JavaVm& machine = vm(env);
    machine.count(SLOT_OF(GetStringChars));
    auto* text = as<String>(machine, string, "GetStringChars");
    if (!text)
        return nullptr;
    if (isCopy)
        *isCopy = JNI_TRUE;
    std::vector<char> copy(text->chars.size() * 2 + 2, '\0');
    std::memcpy(copy.data(), text->chars.data(), text->chars.size() * 2);
    return static_cast<const jchar*>(machine.lend(std::move(copy)));
}

void JNICALL jniReleaseStringChars(JNIEnv* env, jstring string, const jchar* chars)
{
    JavaVm& machine = vm(env);
    machine.count(SLOT_OF(ReleaseStringChars));
    std::vector<char> contents;
    if (!as<String>(machine, string, "ReleaseStringChars") || !machine.giveBack(chars, contents))
        machine.reportMisuse("ReleaseStringChars of characters not handed out");
}

jstring JNICALL jniNewStringUtf(JNIEnv* env, const char* utf)
{
    JavaVm& machine = vm(env);
    machine.count(SLOT_OF(NewStringUTF));
    if (!utf) {
        machine.reportMisuse("NewStringUTF of null");
        return nullptr;
    }
    return machine.newString(decodeModifiedUtf8(utf));
}

jsize JNICALL jniGetArrayLength(JNIEnv* env, jarray array)
{
    JavaVm& machine = vm(env);
    machine.count(SLOT_OF(GetArrayLength));
    Object* object = machine.object(array);
    if (auto* bytes = dynamic_cast<ByteArray*>(object))
        return static_cast<jsize>(bytes->bytes.size());
    if (auto* ints = dynamic_cast<IntArray*>(object))
        return static_cast<jsize>(ints->ints.size());
    if (auto* items = dynamic_cast<ObjectArray*>(object))
        return static_cast<jsize>(items->items.size());
    machine.reportMisuse("GetArrayLength of something that is no array");
    return 0;
}

jobjectArray JNICALL jniNewObjectArray(JNIEnv* env, jsize length, jclass elementType, jobject initial)
{
    JavaVm& machine = vm(env);
    machine.count(SLOT_OF(NewObjectArray));
    if (length < 0 || !elementType) {
        machine.reportMisuse("NewObjectArray with a bad length or no class");
        return nullptr;
    }
    jobjectArray array = machine.newObjectArray(length, reinterpret_cast<Class*>(elementType));
    for (jobject& item : as<ObjectArray>(machine, array, "NewObjectArray")->items)
        item = initial;
    return array;
}

jobject JNICALL jniGetObjectArrayElement(JNIEnv* env, jobjectArray array, jsize index)
{
    JavaVm& machine = vm(env);
    machine.count(SLOT_OF(GetObjectArrayElement));
    auto* items = as<ObjectArray>(machine, array, "GetObjectArrayElement");
    if (!items || index < 0 || static_cast<std::size_t>(index) >= items->items.size()) {
        machine.throwNew("java/lang/ArrayIndexOutOfBoundsException", "GetObjectArrayElement");
        return nullptr;
    }
    return items->items[index];
}

void JNICALL jniSetObjectArrayElement(JNIEnv* env, jobjectArray array, jsize index, jobject value)
{
    JavaVm& machine = vm(env);
    machine.count(SLOT_OF(SetObjectArrayElement));
    auto* items = as<ObjectArray>(machine, array, "SetObjectArrayElement");
    if (!items || index < 0 || static_cast<std::size_t>(index) >= items->items.size()) {
        machine.throwNew("java/lang/ArrayIndexOutOfBoundsException", "SetObjectArrayElement");
        return;
    }
    items->items[index] = value;
}

jbyteArray JNICALL jniNewByteArray(JNIEnv* env, jsize length)
{
    JavaVm& machine = vm(env);
    machine.count(SLOT_OF(NewByteArray));
    if (length < 0) {
        machine.throwNew("java/lang/NegativeArraySizeException", "NewByteArray");
        return nullptr;
    }
    return machine.newByteArray(std::string(length, '\0'));
}

jbyte* JNICALL jniGetByteArrayElements(JNIEnv* env, jbyteArray array, jboolean* isCopy)
{
    JavaVm& machine = vm(env);
    machine.count(SLOT_OF(GetByteArrayElements));
    auto* bytes = as<ByteArray>(machine, array, "GetByteArrayElements");
    if (!bytes)
        return nullptr;
    if (isCopy)
        *isCopy = JNI_TRUE;
    std::vector<char> copy(bytes->bytes.begin(), bytes->bytes.end());
    copy.push_back('\x7f');  // a byte past the end that the library must not take for a terminator
    return static_cast<jbyte*>(machine.lend(std::move(copy)));
}

void JNICALL jniReleaseByteArrayElements(JNIEnv* env, jbyteArray array, jbyte* elements, jint mode)
{
    JavaVm& machine = vm(env);
    machine.count(SLOT_OF(ReleaseByteArrayElements));
    auto* bytes = as<ByteArray>(machine, array, "ReleaseByteArrayElements");
    std::vector<char> contents;
    if (!bytes || !machine.giveBack(elements, contents)) {
        machine.reportMisuse("ReleaseByteArrayElements of elements not handed out");
        return;
    }
    if (mode == 0 || mode == JNI_COMMIT)
        std::memcpy(bytes->bytes.data(), contents.data(), bytes->bytes.size());
    if (mode == JNI_COMMIT)
        machine.lend(std::move(contents));  // still lent: only JNI_ABORT or 0 free it
}

void JNICALL jniSetByteArrayRegion(JNIEnv* env, jbyteArray array, jsize start, jsize length, const jbyte* buffer)
{
    JavaVm& machine = vm(env);
    machine.count(SLOT_OF(SetByteArrayRegion));
    auto* bytes = as<ByteArray>(machine, array, "SetByteArrayRegion");
    if (!bytes || start < 0 || length < 0 || static_cast<std::size_t>(start) + length > bytes->bytes.size()) {
        machine.throwNew("java/lang/ArrayIndexOutOfBoundsException", "SetByteArrayRegion");
        return;
    }
    if (length > 0)
        std::memcpy(bytes->bytes.data() + start, buffer, length);
}

void JNICALL jniSetIntArrayRegion(JNIEnv* env, jintArray array, jsize start, jsize length, const jint* buffer)
{
    JavaVm& machine = vm(env);
    machine.count(SLOT_OF(SetIntArrayRegion));
    auto* ints = as<IntArray>(machine, array, "SetIntArrayRegion");
    if (!ints || start < 0 || length < 0 || static_cast<std::size_t>(start) + length > ints->ints.size()) {
        machine.throwNew("java/lang/ArrayIndexOutOfBoundsException", "SetIntArrayRegion");
        return;
    }
    if (length > 0)
        std::memcpy(ints->ints.data() + start, buffer, length * sizeof(jint));
}

} // namespace

JavaVm::JavaVm()
{
    fillForbidden(reinterpret_cast<void**>(&table_), std::make_index_sequence<kSlotCount>());
    table_.FindClass = jniFindClass;
    table_.Throw = jniThrowObject;
    table_.ExceptionOccurred = jniExceptionOccurred;
    table_.NewObject = jniNewObject;
    table_.GetObjectClass = jniGetObjectClass;
    table_.IsInstanceOf = jniIsInstanceOf;
    table_.GetMethodID = jniGetMethodId;
    table_.CallIntMethod = jniCallIntMethod;
    table_.CallVoidMethod = jniCallVoidMethod;
    table_.GetFieldID = jniGetFieldId;
    table_.GetIntField = jniGetIntField;
    table_.SetIntField = jniSetIntField;
    table_.NewString = jniNewString;
    table_.GetStringLength = jniGetStringLength;
    table_.GetStringChars = jniGetStringChars;
    table_.ReleaseStringChars = jniReleaseStringChars;
    table_.NewStringUTF = jniNewStringUtf;
    table_.GetArrayLength = jniGetArrayLength;
    table_.NewObjectArray = jniNewObjectArray;
    table_.GetObjectArrayElement = jniGetObjectArrayElement;
    table_.SetObjectArrayElement = jniSetObjectArrayElement;
    table_.NewByteArray = jniNewByteArray;
    table_.GetByteArrayElements = jniGetByteArrayElements;
    table_.ReleaseByteArrayElements = jniReleaseByteArrayElements;
    table_.SetByteArrayRegion = jniSetByteArrayRegion;
    table_.SetIntArrayRegion = jniSetIntArrayRegion;
    environment_.env.functions = &table_;
    environment_.vm = this;
    defineClass("java/lang/String");
}

JavaVm::~JavaVm() = default;

Class* JavaVm::defineClass(const std::string& name)
{
    auto type = std::make_unique<Class>();
    type->name = name;
    Class* raw = adopt(std::move(type));
    classes_[name] = raw;
    return raw;
}

void JavaVm::addIntField(Class* type, const std::string& name)
{
    type->fields.push_back(std::make_unique<Field>(Field{name, "I"}));
}

void JavaVm::addMethod(Class* type, const std::string& name, const std::string& signature,
                       std::function<jvalue(Instance&, const std::vector<jvalue>&)> body)
{
    type->methods.push_back(std::make_unique<Method>(Method{name, signature, std::move(body)}));
}

Class* JavaVm::findClass(const std::string& name)
{
    const auto found = classes_.find(name);
    if (found != classes_.end())
        return found->second;
    // Array classes exist as soon as they are named, as in a JVM.
    return !name.empty() && name.front() == '[' ? defineClass(name) : nullptr;
}

jbyteArray JavaVm::newByteArray(std::string_view bytes)
{
    auto array = std::make_unique<ByteArray>();
    array->bytes.assign(bytes.begin(), bytes.end());
    array->type = findClass("[B");
    return reinterpret_cast<jbyteArray>(adopt(std::move(array)));
}

jintArray JavaVm::newIntArray(std::size_t length)
{
    auto array = std::make_unique<IntArray>();
    array->ints.assign(length, 0);
    array->type = findClass("[I");
    return reinterpret_cast<jintArray>(adopt(std::move(array)));
}

jobjectArray JavaVm::newObjectArray(std::size_t length, Class* elementType)
{
    auto array = std::make_unique<ObjectArray>();
    array->items.assign(length, nullptr);
    array->type = findClass("[L" + elementType->name + ";");
    return reinterpret_cast<jobjectArray>(adopt(std::move(array)));
}

jstring JavaVm::newString(std::u16string_view chars)
{
    auto string = std::make_unique<String>();
    string->chars.assign(chars.begin(), chars.end());
    string->type = findClass("java/lang/String");
    return reinterpret_cast<jstring>(adopt(std::move(string)));
}

jstring JavaVm::newString(std::string_view ascii)
{
    return newString(std::u16string(ascii.begin(), ascii.end()));
}

jobject JavaVm::newInstance(Class* type)
{
    auto object = std::make_unique<Instance>();
    object->type = type;
    for (const auto& field : type->fields)
        object->intFields[field->name] = 0;
    return reinterpret_cast<jobject>(adopt(std::move(object)));
}

std::string JavaVm::bytesOf(jobject array) const
{
    const auto* bytes = dynamic_cast<const ByteArray*>(object(array));
    return bytes ? std::string(bytes->bytes.begin(), bytes->bytes.end()) : std::string();
}

std::vector<jint> JavaVm::intsOf(jobject array) const
{
    const auto* ints = dynamic_cast<const IntArray*>(object(array));
    return ints ? ints->ints : std::vector<jint>();
}

std::vector<jobject> JavaVm::itemsOf(jobject array) const
{
    const auto* items = dynamic_cast<const ObjectArray*>(object(array));
    return items ? items->items : std::vector<jobject>();
}

std::u16string JavaVm::charsOf(jobject string) const
{
    const auto* text = dynamic_cast<const String*>(object(string));
    return text ? text->chars : std::u16string();
}

std::string JavaVm::asciiOf(jobject string) const
{
    std::string out;
    for (char16_t c : charsOf(string))
        out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

Instance* JavaVm::instance(jobject object) const
{
    return dynamic_cast<Instance*>(this->object(object));
}

bool JavaVm::isString(jobject handle) const
{
    return dynamic_cast<const String*>(object(handle)) != nullptr;
}

bool JavaVm::isByteArray(jobject handle) const
{
    return dynamic_cast<const ByteArray*>(object(handle)) != nullptr;
}

std::set<int> JavaVm::slotsUsed() const
{
    std::set<int> used;
    for (const auto& [slot, count] : calls_)
        if (count > 0)
            used.insert(slot);
    return used;
}

std::vector<std::string> JavaVm::problems(const std::set<int>& allowedSlots) const
{
    std::vector<std::string> found = misuse_;
    if (!buffers_.empty())
        found.push_back(std::to_string(buffers_.size()) + " element buffers not given back");
    for (int slot : slotsUsed())
        if (!allowedSlots.count(slot))
            found.push_back("JNI function table slot " + std::to_string(slot) + " used");
    return found;
}

void JavaVm::throwNew(const std::string& className, const std::string& message)
{
    Class* type = findClass(className);
    if (!type)
        type = defineClass(className);
    jobject exception = newInstance(type);
    instance(exception)->message = std::u16string(message.begin(), message.end());
    pending_ = reinterpret_cast<jthrowable>(exception);
}

void* JavaVm::lend(std::vector<char> copy)
{
    void* buffer = copy.data();
    buffers_[buffer] = std::move(copy);
    return buffer;
}

bool JavaVm::giveBack(const void* buffer, std::vector<char>& contents)
{
    const auto found = buffers_.find(buffer);
    if (found == buffers_.end())
        return false;
    contents = std::move(found->second);
    buffers_.erase(found);
    return true;
}

std::string exportName(const std::string& jniName, int argumentBytes)
{
#ifdef _WIN64
    (void)argumentBytes;
    return jniName;
#else
    return "_" + jniName + "@" + std::to_string(argumentBytes);
#endif
}

std::vector<std::string> exportNames(const std::string& prefix,
                                     const std::vector<std::pair<std::string, int>>& methods)
{
    std::vector<std::string> names;
    for (const auto& [name, bytes] : methods)
        names.push_back(exportName(prefix + name, bytes));
    std::sort(names.begin(), names.end());
    return names;
}

NativeLibrary::NativeLibrary(const std::string& path) : module_(LoadLibraryA(path.c_str()))
{
    if (!module_)
        throw std::runtime_error("cannot load " + path);
}

void* NativeLibrary::entry(const std::string& jniName, int argumentBytes) const
{
    const std::string exported = exportName(jniName, argumentBytes);
    void* function = reinterpret_cast<void*>(GetProcAddress(module_.get(), exported.c_str()));
    if (!function)
        throw std::runtime_error("no export " + exported);
    return function;
}

} // namespace jni_standin
