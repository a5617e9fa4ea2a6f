// A stand-in for a Java runtime, enough to call JNI libraries the way a JVM does: a complete JNI
// function table over a small object model (classes with int fields and methods, instances,
// Strings, byte, int and object arrays, a pending exception), and a loader that finds each
// native method by the export name this architecture's JVM looks up and calls it.
//
// Every slot of the table is present. The slots the stand-in implements count their calls; a
// slot it does not implement ends the test program at once with the slot's index, so a library
// that reaches for anything else cannot go unnoticed.
#pragma once

#include <windows.h>

#include <jni.h>

#include "../../common/owners.h"

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace jni_standin {

struct Class;

struct Object {
    virtual ~Object() = default;
    Class* type = nullptr;
};

struct ByteArray : Object {
    std::vector<jbyte> bytes;
};
struct IntArray : Object {
    std::vector<jint> ints;
};
struct ObjectArray : Object {
    std::vector<jobject> items;
};
struct String : Object {
    std::u16string chars;
};
// An object of a class the test defines: int fields by name, and any other state it needs.
struct Instance : Object {
    std::map<std::string, jint> intFields;
    std::u16string message;  // what a String constructor was given
    jint code = 0;           // what an int constructor or setter was given
    std::vector<std::string> calls;
};

struct Method {
    std::string name;
    std::string signature;
    // Runs the method on self (a new instance for a constructor) with the arguments.
    std::function<jvalue(Instance& self, const std::vector<jvalue>& args)> body;
};

struct Field {
    std::string name;
    std::string signature;
};

struct Class : Object {
    std::string name;
    std::vector<std::unique_ptr<Method>> methods;
    std::vector<std::unique_ptr<Field>> fields;
};

class JavaVm {
public:
    JavaVm();
    ~JavaVm();
    JavaVm(const JavaVm&) = delete;
    JavaVm& operator=(const JavaVm&) = delete;

    JNIEnv* env() { return &environment_.env; }
    static JavaVm& of(JNIEnv* env) { return *reinterpret_cast<Environment*>(env)->vm; }

    // Classes. "java/lang/String" and array classes are always there; FindClass sees only these
    // and the classes a test defines.
    Class* defineClass(const std::string& name);
    void addIntField(Class* type, const std::string& name);
    void addMethod(Class* type, const std::string& name, const std::string& signature,
                   std::function<jvalue(Instance&, const std::vector<jvalue>&)> body);
    Class* findClass(const std::string& name);

    // Objects.
    jbyteArray newByteArray(std::string_view bytes);
    jintArray newIntArray(std::size_t length);
    jobjectArray newObjectArray(std::size_t length, Class* elementType);
    jstring newString(std::u16string_view chars);
    jstring newString(std::string_view ascii);
    jobject newInstance(Class* type);

    std::string bytesOf(jobject array) const;
    std::vector<jint> intsOf(jobject array) const;
    std::vector<jobject> itemsOf(jobject array) const;
    std::u16string charsOf(jobject string) const;
    std::string asciiOf(jobject string) const;
    Instance* instance(jobject object) const;
    Object* object(jobject handle) const { return reinterpret_cast<Object*>(handle); }
    bool isString(jobject handle) const;
    bool isByteArray(jobject handle) const;

    // The pending exception, or null.
    jthrowable pendingException() const { return pending_; }
    void clearException() { pending_ = nullptr; }

    // Element buffers handed out and not yet released.
    int outstandingBuffers() const { return static_cast<int>(buffers_.size()); }

    // Calls made through each slot of the function table since the last reset.
    const std::map<int, int>& calls() const { return calls_; }
    void resetCalls() { calls_.clear(); }
    std::set<int> slotsUsed() const;

    // Problems found in the library's use of the table (bounds, wrong kinds, bad releases).
    const std::vector<std::string>& misuse() const { return misuse_; }

    // Everything a well-behaved call leaves different: buffers not given back, misuse, and JNI
    // functions outside allowedSlots. Empty when all is well.
    std::vector<std::string> problems(const std::set<int>& allowedSlots) const;

    // Parts of the implementation that the function table calls.
    void count(int slot) { ++calls_[slot]; }
    void reportMisuse(const std::string& what) { misuse_.push_back(what); }
    void throwNew(const std::string& className, const std::string& message);
    void setPending(jthrowable exception) { pending_ = exception; }
    template <typename T>
    T* adopt(std::unique_ptr<T> object)
    {
        T* raw = object.get();
        objects_.push_back(std::move(object));
        return raw;
    }
    void* lend(std::vector<char> copy);
    bool giveBack(const void* buffer, std::vector<char>& contents);

private:
    // The JNIEnv handed to the library comes first, so the VM can be found from it.
    struct Environment {
        JNIEnv env;
        JavaVm* vm;
    };
    JNINativeInterface_ table_{};
    Environment environment_{};
    std::vector<std::unique_ptr<Object>> objects_;
    std::map<std::string, Class*> classes_;
    std::map<const void*, std::vector<char>> buffers_;
    std::map<int, int> calls_;
    std::vector<std::string> misuse_;
    jthrowable pending_ = nullptr;
};

// The export name this architecture's JVM looks up for a native method: on 32-bit Windows the
// decorated "_" + name + "@" + argument bytes, on 64-bit Windows the plain name.
std::string exportName(const std::string& jniName, int argumentBytes);

// The export names of a class's native methods, given the JNI prefix of the class and each
// method with its argument bytes on 32-bit Windows; sorted.
std::vector<std::string> exportNames(const std::string& prefix,
                                     const std::vector<std::pair<std::string, int>>& methods);

// A JNI library loaded as a JVM loads one, its methods found by their export names.
class NativeLibrary {
public:
    explicit NativeLibrary(const std::string& path);
    NativeLibrary(const NativeLibrary&) = delete;
    NativeLibrary& operator=(const NativeLibrary&) = delete;

    HMODULE module() const { return module_.get(); }

    // The method's entry point, found under its export name.
    void* entry(const std::string& jniName, int argumentBytes) const;

    template <typename Result, typename... Args>
    Result call(const std::string& jniName, JNIEnv* env, jobject self, Args... args) const
    {
        using Function = Result(JNICALL*)(JNIEnv*, jobject, Args...);
        constexpr int bytes = static_cast<int>(8 + (0 + ... + argumentSize<Args>()));  // named on 32-bit Windows only
        auto function = reinterpret_cast<Function>(entry(jniName, bytes));
        return function(env, self, args...);
    }

private:
    template <typename T>
    static constexpr int argumentSize()
    {
        return sizeof(T) <= 4 ? 4 : static_cast<int>(sizeof(T));
    }
    UniqueModule module_;
};

} // namespace jni_standin
