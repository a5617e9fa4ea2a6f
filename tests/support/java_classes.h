// The Java classes the two native libraries reach for, as the stand-in runtime defines them:
// shared by the libraries' own tests and the stand-in Java launcher.
#pragma once

#include "jni_standin.h"

namespace jni_standin {

// KPNativeWin, whose natives are static and use nothing of their class.
Class* defineSystemClasses(JavaVm& vm);

// What hivenat uses: Object, Integer (its value field, constructor and intValue), the
// exception with its String and int constructors and setCCode, the key with its hKey field and
// the key information with its six fields.
struct RegistryClasses {
    Class* object = nullptr;
    Class* integer = nullptr;
    Class* exception = nullptr;
    Class* key = nullptr;
    Class* info = nullptr;
};
RegistryClasses defineRegistryClasses(JavaVm& vm);

} // namespace jni_standin
