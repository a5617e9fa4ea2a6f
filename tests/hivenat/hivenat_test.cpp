// hivenat.dll as a JVM uses it, against the real Wine registry, in a key of its own
// below HKEY_CURRENT_USER that each test creates and removes.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "java_classes.h"
#include "jni_standin.h"
#include "pe_image.h"
#include "testing.h"

using namespace testing_support;
using jni_standin::Instance;
using jni_standin::JavaVm;
using jni_standin::NativeLibrary;

namespace {

constexpr char kPrefix[] = "Java_com_bravik_service_registry_NativeRegistryKey_";
constexpr char kTestKey[] = "Software\\BravikHivenatTest";
constexpr char kTestKeyForReg[] = "HKCU\\Software\\BravikHivenatTest";
constexpr jint kCurrentUser = static_cast<jint>(0x80000001u);

const std::vector<std::pair<std::string, int>> kMethods = {
    {"openKey", 20},         {"closeKey", 8},          {"flushKey", 8},
    {"regCreateKeyEx", 28},  {"regDeleteKey", 16},     {"regEnumKeyEx", 20},
    {"regQueryInfoKey", 16}, {"regSaveKey", 20},       {"regQueryValue", 16},
    {"regQueryValueEx", 24}, {"regQueryValueBinary", 20}, {"regQueryMultipleValues", 24},
    {"regEnumValue", 32},    {"regSetValue", 16},      {"regSetValueEx", 24},
    {"regSetValueBinary", 24}, {"regDeleteValue", 16},
};

// The only JNI functions the library may call, by their index in the function table.
const std::set<int> kAllowedSlots = {6,   13,  15,  28,  31,  32,  33,  49,  61,  94,  100, 109, 163,
                                     164, 165, 166, 171, 172, 173, 174, 176, 184, 192, 208, 211};

std::string libraryPath()
{
    return programDirectory() + "\\hivenat.dll";
}

// A key handle as the Java side holds it, and back: sign-extended, as Windows hands out
// handles with 32 significant bits.
jint javaKey(HKEY key)
{
    return static_cast<jint>(reinterpret_cast<LONG_PTR>(key));
}

HKEY keyOf(jint hKey)
{
    return reinterpret_cast<HKEY>(static_cast<LONG_PTR>(hKey));
}

struct RawValue {
    DWORD type = 0;
    std::string data;
    bool exists = false;
};

class Hivenat : public ::testing::Test {
protected:
    static void SetUpTestSuite() { library = new NativeLibrary(libraryPath()); }
    static void TearDownTestSuite()
    {
        delete library;
        library = nullptr;
    }

    void SetUp() override
    {
        defineJavaClasses();
        RegDeleteTreeA(HKEY_CURRENT_USER, kTestKey);
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kTestKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, testKey_.put(),
                                  nullptr),
                  ERROR_SUCCESS);
        self = vm.newInstance(keyClass);
    }

    void TearDown() override
    {
        testKey_.reset();
        RegDeleteTreeA(HKEY_CURRENT_USER, kTestKey);
        EXPECT_EQ(vm.problems(kAllowedSlots), std::vector<std::string>{});
    }

    void defineJavaClasses()
    {
        const jni_standin::RegistryClasses classes = jni_standin::defineRegistryClasses(vm);
        objectClass = classes.object;
        integerClass = classes.integer;
        exceptionClass = classes.exception;
        keyClass = classes.key;
        infoClass = classes.info;
    }

    template <typename... Args>
    jint call(const std::string& method, Args... args)
    {
        return library->call<jint>(kPrefix + method, vm.env(), self, args...);
    }

    // The test key as the Java side holds it.
    jint key() const { return javaKey(testKey_.get()); }
    HKEY testKey() const { return testKey_.get(); }

    jstring text(std::u16string_view chars) { return vm.newString(chars); }
    jstring text(std::string_view ascii) { return vm.newString(ascii); }
    jobjectArray objects(std::size_t length = 1) { return vm.newObjectArray(length, objectClass); }
    jobjectArray strings(const std::vector<std::string>& items)
    {
        jobjectArray array = vm.newObjectArray(items.size(), vm.findClass("java/lang/String"));
        auto* typed = static_cast<jni_standin::ObjectArray*>(vm.object(array));
        for (std::size_t i = 0; i < items.size(); ++i)
            typed->items[i] = text(items[i]);
        return array;
    }
    jobject integer(jint value)
    {
        jobject made = vm.newInstance(integerClass);
        vm.instance(made)->intFields["value"] = value;
        return made;
    }
    jobject first(jobjectArray array) { return vm.itemsOf(array).at(0); }

    // The RegistryException raised by the last call, taken off the runtime; null when none.
    Instance* takeException()
    {
        jthrowable pending = vm.pendingException();
        vm.clearException();
        Instance* exception = pending ? vm.instance(pending) : nullptr;
        if (exception && exception->type != exceptionClass)
            ADD_FAILURE() << "a pending exception of another class";
        return exception;
    }
    void expectRaised(jint status)
    {
        Instance* exception = takeException();
        ASSERT_NE(exception, nullptr) << "no RegistryException for " << status;
        EXPECT_EQ(exception->code, status);
    }
    void expectNothingRaised() { EXPECT_EQ(vm.pendingException(), nullptr); }

    RawValue raw(const char* name)
    {
        RawValue value;
        DWORD size = 0;
        if (RegQueryValueExA(testKey_.get(), name, nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS)
            return value;
        value.data.resize(size);
        RegQueryValueExA(testKey_.get(), name, nullptr, &value.type, reinterpret_cast<BYTE*>(value.data.data()), &size);
        value.data.resize(size);
        value.exists = true;
        return value;
    }
    void setRaw(const char* name, DWORD type, std::string_view data)
    {
        ASSERT_EQ(RegSetValueExA(testKey_.get(), name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                                 static_cast<DWORD>(data.size())),
                  ERROR_SUCCESS);
    }

    JavaVm vm;
    jobject self = nullptr;
    jni_standin::Class* objectClass = nullptr;
    jni_standin::Class* integerClass = nullptr;
    jni_standin::Class* exceptionClass = nullptr;
    jni_standin::Class* keyClass = nullptr;
    jni_standin::Class* infoClass = nullptr;
    static NativeLibrary* library;

private:
    UniqueRegistryKey testKey_;
};

NativeLibrary* Hivenat::library = nullptr;

std::string systemMessage(DWORD status)
{
    UniqueLocalBlock text;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                   status, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(text.put()), 0, nullptr);
    return text ? static_cast<const char*>(text.get()) : "";
}

TEST(HivenatLibrary, ExportsExactlyTheMethodTable)
{
    std::vector<std::string> exported = exportedNames(libraryPath());
    std::sort(exported.begin(), exported.end());
    EXPECT_EQ(exported, jni_standin::exportNames(kPrefix, kMethods));
}

TEST(HivenatLibrary, NeedsOnlyKernel32Advapi32AndTheCRuntime)
{
    for (const std::string& dll : importedDlls(libraryPath()))
        EXPECT_TRUE(equalsIgnoringCase(dll, "KERNEL32.dll") || equalsIgnoringCase(dll, "ADVAPI32.dll") ||
                    equalsIgnoringCase(dll, "msvcrt.dll"))
            << dll;
}

TEST_F(Hivenat, StringsDwordsAndMultiStringsRoundTrip)
{
    struct Case {
        const char* name;
        jint type;
        std::function<jobject()> make;
        std::string stored;  // the registry's bytes
    };
    const std::vector<Case> cases = {
        {"text", REG_SZ, [&] { return text("hello"); }, std::string("hello\0", 6)},
        {"empty text", REG_SZ, [&] { return text(""); }, std::string("\0", 1)},
        {"expand", REG_EXPAND_SZ, [&] { return text("%SystemRoot%\\x"); }, std::string("%SystemRoot%\\x\0", 15)},
        {"number", REG_DWORD, [&] { return integer(0x12345678); }, std::string("\x78\x56\x34\x12", 4)},
        {"negative", REG_DWORD, [&] { return integer(-2); }, std::string("\xfe\xff\xff\xff", 4)},
        {"two", REG_MULTI_SZ, [&] { return strings({"a", "b"}); }, std::string("a\0b\0\0", 5)},
        {"none", REG_MULTI_SZ, [&] { return strings({}); }, std::string("\0", 1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const jobject written = c.make();
        EXPECT_EQ(call("regSetValueEx", key(), text(c.name), c.type, written), 0);
        expectNothingRaised();
        const RawValue stored = raw(c.name);
        EXPECT_EQ(stored.type, static_cast<DWORD>(c.type));
        EXPECT_EQ(stored.data, c.stored);

        jintArray type = vm.newIntArray(1);
        jobjectArray value = objects();
        EXPECT_EQ(call("regQueryValueEx", key(), text(c.name), type, value), 0);
        EXPECT_EQ(vm.intsOf(type)[0], c.type);
        const jobject read = first(value);
        if (c.type == REG_DWORD) {
            ASSERT_NE(vm.instance(read), nullptr);
            EXPECT_EQ(vm.instance(read)->type, integerClass);
            EXPECT_EQ(vm.instance(read)->intFields["value"], vm.instance(written)->intFields["value"]);
        } else if (c.type == REG_MULTI_SZ) {
            std::vector<std::string> before, after;
            for (jobject item : vm.itemsOf(written))
                before.push_back(vm.asciiOf(item));
            for (jobject item : vm.itemsOf(read))
                after.push_back(vm.asciiOf(item));
            EXPECT_EQ(after, before);
        } else {
            ASSERT_TRUE(vm.isString(read));
            EXPECT_EQ(vm.charsOf(read), vm.charsOf(written));
        }
    }
}

TEST_F(Hivenat, BinaryTypesRoundTripAsBytes)
{
    const std::string bytes("\x01\x02\x00\xff\x80", 5);
    for (jint type : std::initializer_list<jint>{REG_NONE, REG_BINARY, REG_DWORD_BIG_ENDIAN, REG_LINK, REG_RESOURCE_LIST,
                      REG_FULL_RESOURCE_DESCRIPTOR, REG_RESOURCE_REQUIREMENTS_LIST}) {
        SCOPED_TRACE(type);
        EXPECT_EQ(call("regSetValueEx", key(), text("bytes"), type, static_cast<jobject>(vm.newByteArray(bytes))), 0);
        EXPECT_EQ(raw("bytes").data, bytes);
        jintArray readType = vm.newIntArray(1);
        jobjectArray value = objects();
        EXPECT_EQ(call("regQueryValueEx", key(), text("bytes"), readType, value), 0);
        EXPECT_EQ(vm.intsOf(readType)[0], type);
        ASSERT_TRUE(vm.isByteArray(first(value)));
        EXPECT_EQ(vm.bytesOf(first(value)), bytes);
    }
}

TEST_F(Hivenat, TypesOutsideTheConversion)
{
    const std::string eight("\x01\x02\x03\x04\x05\x06\x07\x08", 8);
    // Written as bytes under any type code; read as bytes for 1060 and 0x80000001 only.
    for (jint type : {jint{1060}, static_cast<jint>(0x80000001u), jint{11}}) {
        SCOPED_TRACE(type);
        EXPECT_EQ(call("regSetValueBinary", key(), text("raw"), type, vm.newByteArray(eight)), 0);
        EXPECT_EQ(raw("raw").type, static_cast<DWORD>(type));
        jintArray readType = vm.newIntArray(1);
        jobjectArray value = objects();
        if (type == 11) {
            EXPECT_EQ(call("regQueryValueEx", key(), text("raw"), readType, value), ERROR_INVALID_PARAMETER);
            expectRaised(ERROR_INVALID_PARAMETER);
            EXPECT_EQ(vm.intsOf(readType)[0], 0);
            EXPECT_EQ(first(value), nullptr);
        } else {
            EXPECT_EQ(call("regQueryValueEx", key(), text("raw"), readType, value), 0);
            EXPECT_EQ(vm.intsOf(readType)[0], type);
            EXPECT_EQ(vm.bytesOf(first(value)), eight);
        }
        jobjectArray data = objects();
        EXPECT_EQ(call("regQueryValueBinary", key(), text("raw"), data), 0);
        EXPECT_EQ(vm.bytesOf(first(data)), eight);
    }

    // Nothing is written for a type above 10 or an object of the wrong kind.
    struct Refused {
        jint type;
        jobject value;
    };
    for (const Refused& r : {Refused{11, vm.newByteArray(eight)}, Refused{1060, vm.newByteArray(eight)},
                             Refused{REG_DWORD, text("42")}, Refused{REG_SZ, integer(42)},
                             Refused{REG_BINARY, text("no bytes")}, Refused{REG_MULTI_SZ, text("no array")}}) {
        SCOPED_TRACE(r.type);
        EXPECT_EQ(call("regSetValueEx", key(), text("refused"), r.type, r.value), ERROR_INVALID_PARAMETER);
        expectRaised(ERROR_INVALID_PARAMETER);
        EXPECT_FALSE(raw("refused").exists);
    }

    // A four-byte little-endian REG_DWORD written as bytes reads as an Integer.
    EXPECT_EQ(call("regSetValueBinary", key(), text("dword"), REG_DWORD, vm.newByteArray(std::string("\x2a\0\0\x80", 4))),
              0);
    jintArray readType = vm.newIntArray(1);
    jobjectArray value = objects();
    EXPECT_EQ(call("regQueryValueEx", key(), text("dword"), readType, value), 0);
    EXPECT_EQ(vm.instance(first(value))->intFields["value"], static_cast<jint>(0x8000002a));
}

TEST_F(Hivenat, TextOutsideTheAnsiCodePageIsRefused)
{
    setRaw(nullptr, REG_SZ, std::string("default\0", 8));
    // Not in the code page at all, and one that would be written as a look-alike (A for A-macron).
    for (const std::u16string& foreign : {std::u16string(u"\u4e2d"), std::u16string(u"\u0100")}) {
        EXPECT_EQ(call("regSetValueEx", key(), text("foreign"), REG_SZ, static_cast<jobject>(text(foreign))),
                  ERROR_INVALID_PARAMETER);
        expectRaised(ERROR_INVALID_PARAMETER);
        EXPECT_FALSE(raw("foreign").exists);

        // A value name that does not convert never stands for the default value.
        EXPECT_EQ(call("regSetValueEx", key(), text(foreign), REG_SZ, static_cast<jobject>(text("x"))),
                  ERROR_INVALID_PARAMETER);
        expectRaised(ERROR_INVALID_PARAMETER);
        EXPECT_EQ(call("regDeleteValue", key(), text(foreign)), ERROR_INVALID_PARAMETER);
        expectRaised(ERROR_INVALID_PARAMETER);
        jobjectArray data = objects();
        EXPECT_EQ(call("regQueryValueBinary", key(), text(foreign), data), ERROR_NOT_ENOUGH_MEMORY);
        expectRaised(ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_EQ(first(data), nullptr);
        EXPECT_EQ(raw(nullptr).data, std::string("default\0", 8));
    }
    // Characters of the code page beyond ASCII are fine.
    EXPECT_EQ(call("regSetValueEx", key(), text("accent"), REG_SZ, static_cast<jobject>(text(u"caf\u00e9"))), 0);
    EXPECT_EQ(raw("accent").data, std::string("caf\xe9\0", 5));
}

TEST_F(Hivenat, ExceptionsCarryTheStatus)
{
    // A status with a system message: the String constructor with the text as the system gives
    // it, then setCCode.
    jintArray type = vm.newIntArray(1);
    EXPECT_EQ(call("regQueryValueEx", key(), text("missing"), type, objects()), ERROR_FILE_NOT_FOUND);
    Instance* exception = takeException();
    ASSERT_NE(exception, nullptr);
    EXPECT_EQ(exception->calls, (std::vector<std::string>{"<init>(String)", "setCCode"}));
    EXPECT_EQ(exception->code, ERROR_FILE_NOT_FOUND);
    const std::string message = systemMessage(ERROR_FILE_NOT_FOUND);
    ASSERT_FALSE(message.empty());
    EXPECT_EQ(exception->message, std::u16string(message.begin(), message.end()));

    // -1 has no system message: the int constructor alone.
    EXPECT_EQ(call("openKey", kCurrentUser, text(u"\u4e2d"), jint{KEY_READ}), -1);
    exception = takeException();
    ASSERT_NE(exception, nullptr);
    EXPECT_EQ(exception->calls, (std::vector<std::string>{"<init>(int)"}));
    EXPECT_EQ(exception->code, -1);

    // A pending exception is never replaced.
    const jobject earlier = vm.newInstance(objectClass);
    vm.setPending(static_cast<jthrowable>(earlier));
    EXPECT_EQ(call("regDeleteValue", key(), text("missing")), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(vm.pendingException(), earlier);
    vm.clearException();
}

TEST_F(Hivenat, OpenAndCloseWorkOnTheReceiver)
{
    ASSERT_EQ(call("openKey", kCurrentUser, text(kTestKey), jint{KEY_READ}), 0);
    Instance* receiver = vm.instance(self);
    const jint opened = receiver->intFields["hKey"];
    DWORD values = 99;
    EXPECT_EQ(RegQueryInfoKeyA(keyOf(opened), nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);

    EXPECT_EQ(call("closeKey"), 0);
    // The closed handle is forgotten, so a second close cannot close a key opened since under
    // the same handle value.
    EXPECT_EQ(receiver->intFields["hKey"], 0);
    UniqueRegistryKey later;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kTestKey, 0, KEY_READ, later.put()), ERROR_SUCCESS);
    EXPECT_EQ(call("closeKey"), 0);
    EXPECT_EQ(RegQueryInfoKeyA(later.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                               nullptr, nullptr, nullptr),
              ERROR_SUCCESS);

    // HKEY_CLASSES_ROOT is never closed; another root key goes to RegCloseKey like any key.
    receiver->intFields["hKey"] = static_cast<jint>(0x80000000u);
    EXPECT_EQ(call("closeKey"), 0);
    EXPECT_EQ(receiver->intFields["hKey"], static_cast<jint>(0x80000000u));
    receiver->intFields["hKey"] = static_cast<jint>(0x80000002u);
    EXPECT_EQ(call("closeKey"), static_cast<jint>(UniqueRegistryKey(HKEY_LOCAL_MACHINE).close()));
    expectNothingRaised();

    EXPECT_EQ(call("flushKey"), 0);
    EXPECT_EQ(call("openKey", kCurrentUser, text("Software\\NoSuchKeyAnywhere"), jint{KEY_READ}), ERROR_FILE_NOT_FOUND);
    expectRaised(ERROR_FILE_NOT_FOUND);
}

// The handles the library handed to the registry, recorded by stand-ins for its imports.
HKEY openedUnder = nullptr;
HKEY openedKey = nullptr;
HKEY closedKey = nullptr;
void* realOpen = nullptr;

LONG WINAPI recordOpen(HKEY parent, LPCSTR name, DWORD options, REGSAM access, PHKEY result)
{
    openedUnder = parent;
    const LONG status = reinterpret_cast<decltype(&RegOpenKeyExA)>(realOpen)(parent, name, options, access, result);
    openedKey = status == ERROR_SUCCESS ? *result : nullptr;
    return status;
}

LONG WINAPI recordClose(HKEY key)
{
    closedKey = key;
    return UniqueRegistryKey(key).close();
}

TEST_F(Hivenat, KeyHandlesCrossTheJavaIntUnchanged)
{
    ImportPatch open(library->module(), "ADVAPI32.dll", "RegOpenKeyExA", reinterpret_cast<void*>(&recordOpen));
    realOpen = open.original();
    const ImportPatch close(library->module(), "ADVAPI32.dll", "RegCloseKey", reinterpret_cast<void*>(&recordClose));

    // Every predefined root reaches the registry as the platform's own handle value, whatever
    // the width of a handle.
    for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_PERFORMANCE_DATA,
                      HKEY_CURRENT_CONFIG, HKEY_DYN_DATA}) {
        openedUnder = nullptr;
        call("openKey", javaKey(root), text("Software\\NoSuchKeyAnywhere"), jint{KEY_READ});
        vm.clearException();
        EXPECT_EQ(openedUnder, root) << std::hex << reinterpret_cast<ULONG_PTR>(root);
    }

    // An opened key goes into hKey and comes back out as the same handle.
    ASSERT_EQ(call("openKey", javaKey(HKEY_CURRENT_USER), text(kTestKey), jint{KEY_READ}), 0);
    ASSERT_NE(openedKey, nullptr);
    EXPECT_EQ(keyOf(vm.instance(self)->intFields["hKey"]), openedKey);
    EXPECT_EQ(call("closeKey"), 0);
    EXPECT_EQ(closedKey, openedKey);
}

// The C runtime's malloc inside the library, refusing every block of 1 KiB or more as an
// exhausted heap would (small blocks stay, for the exception itself).
void* __cdecl refuseLargeBlock(std::size_t size)
{
    return size < 1024 ? std::malloc(size) : nullptr;
}

TEST_F(Hivenat, AFailedAllocationEndsTheCallWithStatusMinusOne)
{
    // The name's round trip through the code page is checked in a std::vector of two bytes a
    // character, whose allocation throws.
    const ImportPatch exhausted(library->module(), "msvcrt.dll", "malloc",
                                reinterpret_cast<void*>(&refuseLargeBlock));
    jint status = 0;
    EXPECT_NO_THROW(status = call("openKey", kCurrentUser, text(std::string(kTestKey) + std::string(600, 'k')),
                                  jint{KEY_READ}));
    EXPECT_EQ(status, -1);
    expectRaised(-1);
    EXPECT_EQ(vm.instance(self)->intFields["hKey"], 0);
}

TEST_F(Hivenat, ReceiverWithoutTheKeyFieldGets87)
{
    self = vm.newInstance(objectClass);
    EXPECT_EQ(call("openKey", kCurrentUser, text(kTestKey), jint{KEY_READ}), ERROR_INVALID_PARAMETER);
    vm.clearException();
    EXPECT_EQ(call("closeKey"), ERROR_INVALID_PARAMETER);
    vm.clearException();
}

TEST_F(Hivenat, CreatedKeysComeBackThroughTheArray)
{
    jintArray result = vm.newIntArray(1);
    ASSERT_EQ(call("regCreateKeyEx", key(), text("created"), jint{0}, jint{KEY_ALL_ACCESS}, result), 0);
    const UniqueRegistryKey created(keyOf(vm.intsOf(result)[0]));
    EXPECT_EQ(RegSetValueExA(created.get(), "probe", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2), ERROR_SUCCESS);
    EXPECT_EQ(vm.instance(self)->intFields["hKey"], 0);

    // A name that does not convert hands back nothing, never the parent key.
    jintArray untouched = vm.newIntArray(1);
    EXPECT_EQ(call("regCreateKeyEx", key(), text(u"\u4e2d"), jint{0}, jint{KEY_ALL_ACCESS}, untouched), -1);
    vm.clearException();
    EXPECT_EQ(vm.intsOf(untouched)[0], 0);
}

LONG WINAPI refuseWithInvalidParameter(HKEY, LPCSTR, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY,
                                       LPDWORD)
{
    return ERROR_INVALID_PARAMETER;
}

TEST_F(Hivenat, CreateFallsBackToTheOlderCallOn87)
{
    // Wine accepts every option the Windows 95 family refuses, so the refusal stands in here.
    const ImportPatch refuse(library->module(), "ADVAPI32.dll", "RegCreateKeyExA",
                             reinterpret_cast<void*>(&refuseWithInvalidParameter));
    jintArray result = vm.newIntArray(1);
    EXPECT_EQ(call("regCreateKeyEx", key(), text("older"), jint{REG_OPTION_VOLATILE}, jint{KEY_ALL_ACCESS}, result),
              0);
    expectNothingRaised();
    const UniqueRegistryKey created(keyOf(vm.intsOf(result)[0]));
    EXPECT_EQ(RegQueryInfoKeyA(created.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    UniqueRegistryKey check;
    EXPECT_EQ(RegOpenKeyExA(testKey(), "older", 0, KEY_READ, check.put()), ERROR_SUCCESS);
}

void createKey(HKEY parent, const std::wstring& path)
{
    UniqueRegistryKey key;
    ASSERT_EQ(RegCreateKeyExW(parent, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
}

bool keyExists(HKEY parent, const std::wstring& path)
{
    UniqueRegistryKey key;
    return RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

TEST_F(Hivenat, DeleteRemovesAWholeTree)
{
    for (const wchar_t* path : {L"tree\\a\\b\\c", L"tree\\a\\d", L"tree\\e\\f\\g\\h", L"tree\\i"})
        createKey(testKey(), path);
    EXPECT_EQ(call("regDeleteKey", key(), text("tree")), 0);
    EXPECT_FALSE(keyExists(testKey(), L"tree"));

    // An empty name, or one that does not convert, deletes nothing.
    createKey(testKey(), L"kept");
    EXPECT_EQ(call("regDeleteKey", key(), text("")), 0);
    EXPECT_EQ(call("regDeleteKey", key(), text(u"\u4e2d")), 0);
    EXPECT_TRUE(keyExists(testKey(), L"kept"));
    expectNothingRaised();
}

TEST_F(Hivenat, DeleteVisitsSiblingsFromTheHighestIndexAndStopsAtTheFirstFailure)
{
    // The middle child's name has no ANSI form; the name the registry gives for it names no key,
    // so deleting it fails. Children above it are visited first and go; it and those below stay.
    createKey(testKey(), L"tree\\a\\deep");
    createKey(testKey(), L"tree\\\u0100q");
    createKey(testKey(), L"tree\\\u2122\\deep");
    UniqueRegistryKey tree;
    ASSERT_EQ(RegOpenKeyExA(testKey(), "tree", 0, KEY_READ, tree.put()), ERROR_SUCCESS);
    std::vector<std::wstring> order;
    wchar_t name[512];
    for (DWORD i = 0;; ++i) {
        DWORD length = 512;
        if (RegEnumKeyExW(tree.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        order.emplace_back(name, length);
    }
    ASSERT_EQ(order, (std::vector<std::wstring>{L"a", L"\u0100q", L"\u2122"}));

    EXPECT_EQ(call("regDeleteKey", key(), text("tree")), ERROR_FILE_NOT_FOUND);
    expectRaised(ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(keyExists(testKey(), L"tree\\\u2122"));
    EXPECT_TRUE(keyExists(testKey(), L"tree\\\u0100q"));
    EXPECT_TRUE(keyExists(testKey(), L"tree\\a\\deep"));
}

TEST_F(Hivenat, EnumerationEndsWithNull)
{
    createKey(testKey(), L"first");
    createKey(testKey(), L"second");
    jobjectArray name = objects();
    EXPECT_EQ(call("regEnumKeyEx", key(), jint{0}, name), 0);
    EXPECT_EQ(vm.asciiOf(first(name)), "first");
    EXPECT_EQ(call("regEnumKeyEx", key(), jint{1}, name), 0);
    EXPECT_EQ(vm.asciiOf(first(name)), "second");
    EXPECT_EQ(call("regEnumKeyEx", key(), jint{2}, name), 0);
    EXPECT_EQ(first(name), nullptr);
    expectNothingRaised();

    setRaw("v1", REG_SZ, std::string("one\0", 4));
    setRaw("v2", REG_DWORD, std::string("\x07\0\0\0", 4));
    jintArray type = vm.newIntArray(1);
    jobjectArray data = objects();
    EXPECT_EQ(call("regEnumValue", key(), jint{0}, jboolean{1}, name, type, data), 0);
    EXPECT_EQ(vm.asciiOf(first(name)), "v1");
    EXPECT_EQ(vm.intsOf(type)[0], REG_SZ);
    EXPECT_EQ(vm.asciiOf(first(data)), "one");
    jobjectArray noData = objects();
    EXPECT_EQ(call("regEnumValue", key(), jint{1}, jboolean{0}, name, type, noData), 0);
    EXPECT_EQ(vm.asciiOf(first(name)), "v2");
    EXPECT_EQ(vm.intsOf(type)[0], REG_DWORD);
    EXPECT_EQ(first(noData), nullptr);
    // Past the end: null name, type and data left alone, no exception.
    EXPECT_EQ(call("regEnumValue", key(), jint{2}, jboolean{1}, name, type, data), 0);
    EXPECT_EQ(first(name), nullptr);
    EXPECT_EQ(vm.intsOf(type)[0], REG_DWORD);
    EXPECT_EQ(vm.asciiOf(first(data)), "one");
    expectNothingRaised();
}

// Stands in for RegQueryInfoKeyA with a chosen last-write time.
FILETIME chosenLastWrite;
void* realQueryInfoKey = nullptr;

LONG WINAPI queryInfoWithChosenTime(HKEY key, LPSTR classBuffer, LPDWORD classLength, LPDWORD reserved,
                                    LPDWORD subKeys, LPDWORD longestSubKey, LPDWORD longestClass, LPDWORD values,
                                    LPDWORD longestValueName, LPDWORD largestValue, LPDWORD securityDescriptor,
                                    PFILETIME lastWrite)
{
    using Query = LONG(WINAPI*)(HKEY, LPSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD,
                                LPDWORD, PFILETIME);
    const LONG status = reinterpret_cast<Query>(realQueryInfoKey)(key, classBuffer, classLength, reserved, subKeys,
                                                                  longestSubKey, longestClass, values,
                                                                  longestValueName, largestValue, securityDescriptor,
                                                                  lastWrite);
    if (lastWrite)
        *lastWrite = chosenLastWrite;
    return status;
}

TEST_F(Hivenat, KeyInformationFillsSixFields)
{
    createKey(testKey(), L"child-with-a-long-name");
    setRaw("value-name", REG_BINARY, std::string(37, 'x'));
    const jobject info = vm.newInstance(infoClass);
    ASSERT_EQ(call("regQueryInfoKey", key(), info), 0);
    DWORD subKeys = 0, longestSubKey = 0, values = 0, longestValueName = 0, largestValue = 0;
    RegQueryInfoKeyA(testKey(), nullptr, nullptr, nullptr, &subKeys, &longestSubKey, nullptr, &values,
                     &longestValueName, &largestValue, nullptr, nullptr);
    Instance* fields = vm.instance(info);
    EXPECT_EQ(fields->intFields["subKeyCount"], 1);
    EXPECT_EQ(fields->intFields["subKeyCount"], static_cast<jint>(subKeys));
    EXPECT_EQ(fields->intFields["maxSubKeyNameLength"], static_cast<jint>(longestSubKey));
    EXPECT_EQ(fields->intFields["valueCount"], static_cast<jint>(values));
    EXPECT_EQ(fields->intFields["maxValueNameLength"], static_cast<jint>(longestValueName));
    EXPECT_EQ(fields->intFields["maxValueSize"], 37);

    // The last-write time packed as DOS date (low word) and time (high word), in UTC.
    struct Example {
        SYSTEMTIME time;
        jint packed;
    };
    const Example examples[] = {{{2001, 3, 0, 15, 9, 5, 0, 0}, 0x48A02A6F},
                                {{2001, 3, 0, 15, 17, 30, 10, 0}, -1950012817},
                                {{2000, 1, 0, 1, 0, 0, 0, 0}, 0x2821}};
    {
        ImportPatch patch(library->module(), "ADVAPI32.dll", "RegQueryInfoKeyA",
                          reinterpret_cast<void*>(&queryInfoWithChosenTime));
        realQueryInfoKey = patch.original();
        for (const Example& example : examples) {
            SystemTimeToFileTime(&example.time, &chosenLastWrite);
            ASSERT_EQ(call("regQueryInfoKey", key(), info), 0);
            EXPECT_EQ(fields->intFields["lastWriteTime"], example.packed);
        }
    }

    EXPECT_EQ(call("regQueryInfoKey", key(), jobject{}), ERROR_INVALID_PARAMETER);
    expectRaised(ERROR_INVALID_PARAMETER);
}

bool enableBackupPrivilege(bool enable)
{
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put()))
        return false;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    LookupPrivilegeValueA(nullptr, "SeBackupPrivilege", &privileges.Privileges[0].Luid);
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    return AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr) &&
           GetLastError() == ERROR_SUCCESS;
}

TEST_F(Hivenat, SavingAKeyNeedsTheBackupPrivilege)
{
    setRaw("saved", REG_SZ, std::string("value\0", 6));
    const std::string file = temporaryDirectory() + "hivenat-saved.reg";
    DeleteFileA(file.c_str());
    ASSERT_TRUE(enableBackupPrivilege(false));
    EXPECT_EQ(call("regSaveKey", key(), text(file), jobject{}), ERROR_PRIVILEGE_NOT_HELD);
    expectRaised(ERROR_PRIVILEGE_NOT_HELD);
    // Wine leaves the file it opened behind when it refuses; the saved key goes into a new one.
    DeleteFileA(file.c_str());

    ASSERT_TRUE(enableBackupPrivilege(true));
    EXPECT_EQ(call("regSaveKey", key(), text(file), jobject{}), 0);
    enableBackupPrivilege(false);
    ASSERT_TRUE(exists(file));
    EXPECT_NE(readFile(file).find("saved"), std::string::npos);
    DeleteFileA(file.c_str());
}

TEST_F(Hivenat, DefaultValueReadsWithTheSmallBufferWhenEveryValueIsEmpty)
{
    setRaw("empty", REG_BINARY, "");
    jobjectArray value = objects();
    EXPECT_EQ(call("regQueryValue", key(), value), 0);
    ASSERT_TRUE(vm.isString(first(value)));
    EXPECT_EQ(vm.asciiOf(first(value)), "");

    EXPECT_EQ(call("regSetValue", key(), text("abc")), 0);
    const RawValue stored = raw(nullptr);
    EXPECT_EQ(stored.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(stored.data, std::string("abc\0", 4));
    EXPECT_EQ(call("regQueryValue", key(), value), 0);
    EXPECT_EQ(vm.asciiOf(first(value)), "abc");
}

TEST_F(Hivenat, MultipleValuesComeInOneCall)
{
    setRaw("one", REG_SZ, std::string("1\0", 2));
    setRaw("two", REG_DWORD, std::string("\x02\0\0\0", 4));
    setRaw("three", REG_MULTI_SZ, std::string("x\0y\0\0", 5));
    jintArray types = vm.newIntArray(3);
    jobjectArray values = objects(3);
    ASSERT_EQ(call("regQueryMultipleValues", key(), strings({"three", "one", "two"}), types, values), 0);
    EXPECT_EQ(vm.intsOf(types), (std::vector<jint>{REG_MULTI_SZ, REG_SZ, REG_DWORD}));
    EXPECT_EQ(vm.itemsOf(vm.itemsOf(values)[0]).size(), 2u);
    EXPECT_EQ(vm.asciiOf(vm.itemsOf(values)[1]), "1");
    EXPECT_EQ(vm.instance(vm.itemsOf(values)[2])->intFields["value"], 2);

    // The second of three has a type the conversion rejects: the first stays stored.
    setRaw("odd", 11, "12345678");
    jintArray someTypes = vm.newIntArray(3);
    jobjectArray someValues = objects(3);
    EXPECT_EQ(call("regQueryMultipleValues", key(), strings({"one", "odd", "two"}), someTypes, someValues),
              ERROR_INVALID_PARAMETER);
    expectRaised(ERROR_INVALID_PARAMETER);
    EXPECT_EQ(vm.intsOf(someTypes), (std::vector<jint>{REG_SZ, 0, 0}));
    EXPECT_EQ(vm.asciiOf(vm.itemsOf(someValues)[0]), "1");
    EXPECT_EQ(vm.itemsOf(someValues)[1], nullptr);

    // Names that together need more room than the key's longest name allows for: -1 before the
    // registry is read, although no such values exist.
    jintArray noTypes = vm.newIntArray(2);
    EXPECT_EQ(call("regQueryMultipleValues", key(), strings({"a-much-longer-name", "another-long-one"}), noTypes,
                   objects(2)),
              -1);
    expectRaised(-1);
}

TEST_F(Hivenat, ValuesAreDeleted)
{
    setRaw("doomed", REG_SZ, std::string("x\0", 2));
    EXPECT_EQ(call("regDeleteValue", key(), text("doomed")), 0);
    EXPECT_FALSE(raw("doomed").exists);
    EXPECT_EQ(call("regDeleteValue", key(), text("doomed")), ERROR_FILE_NOT_FOUND);
    expectRaised(ERROR_FILE_NOT_FOUND);
}

std::string regExe(const std::string& arguments)
{
    return outputOf("reg.exe " + arguments);
}

TEST_F(Hivenat, WineRegReadsWhatHivenatWrites)
{
    ASSERT_EQ(call("regSetValueEx", key(), text("text"), REG_SZ, static_cast<jobject>(text("hello world"))), 0);
    ASSERT_EQ(call("regSetValueEx", key(), text("number"), REG_DWORD, integer(42)), 0);
    ASSERT_EQ(call("regSetValueEx", key(), text("list"), REG_MULTI_SZ, static_cast<jobject>(strings({"a", "b"}))), 0);
    ASSERT_EQ(call("regSetValueEx", key(), text("bytes"), REG_BINARY,
                   static_cast<jobject>(vm.newByteArray(std::string("\x01\xab\xff", 3)))),
              0);
    const std::string listing = regExe(std::string("query ") + kTestKeyForReg);
    for (const char* line : {"    text    REG_SZ    hello world", "    number    REG_DWORD    0x2a",
                             "    list    REG_MULTI_SZ    a\\0b", "    bytes    REG_BINARY    01ABFF"})
        EXPECT_NE(listing.find(line), std::string::npos) << line << "\n" << listing;
}

TEST_F(Hivenat, HivenatReadsWhatWineRegWrites)
{
    const std::string target = std::string(kTestKeyForReg) + " /f /v ";
    regExe("add " + target + "text /t REG_SZ /d \"from reg\"");
    regExe("add " + target + "number /t REG_DWORD /d 4660");
    regExe("add " + target + "list /t REG_MULTI_SZ /d one\\0two");
    regExe("add " + target + "bytes /t REG_BINARY /d 00ff10");

    jintArray type = vm.newIntArray(1);
    jobjectArray value = objects();
    ASSERT_EQ(call("regQueryValueEx", key(), text("text"), type, value), 0);
    EXPECT_EQ(vm.asciiOf(first(value)), "from reg");
    ASSERT_EQ(call("regQueryValueEx", key(), text("number"), type, value), 0);
    EXPECT_EQ(vm.instance(first(value))->intFields["value"], 4660);
    ASSERT_EQ(call("regQueryValueEx", key(), text("list"), type, value), 0);
    ASSERT_EQ(vm.itemsOf(first(value)).size(), 2u);
    EXPECT_EQ(vm.asciiOf(vm.itemsOf(first(value))[1]), "two");
    ASSERT_EQ(call("regQueryValueEx", key(), text("bytes"), type, value), 0);
    EXPECT_EQ(vm.intsOf(type)[0], REG_BINARY);
    EXPECT_EQ(vm.bytesOf(first(value)), std::string("\x00\xff\x10", 3));
}

} // namespace
