#include "java_classes.h"

namespace jni_standin {

Class* defineSystemClasses(JavaVm& vm)
{
    return vm.defineClass("com/bravik/application/install/windows/KPNativeWin");
}

RegistryClasses defineRegistryClasses(JavaVm& vm)
{
    RegistryClasses classes;
    classes.object = vm.defineClass("java/lang/Object");
    classes.integer = vm.defineClass("java/lang/Integer");
    vm.addIntField(classes.integer, "value");
    vm.addMethod(classes.integer, "<init>", "(I)V", [](Instance& self, const std::vector<jvalue>& args) {
        self.intFields["value"] = args[0].i;
        return jvalue{};
    });
    vm.addMethod(classes.integer, "intValue", "()I", [](Instance& self, const std::vector<jvalue>&) {
        jvalue result{};
        result.i = self.intFields["value"];
        return result;
    });
    classes.exception = vm.defineClass("com/bravik/service/registry/RegistryException");
    vm.addMethod(classes.exception, "<init>", "(Ljava/lang/String;)V",
                 [&vm](Instance& self, const std::vector<jvalue>& args) {
                     self.message = vm.charsOf(args[0].l);
                     self.calls.push_back("<init>(String)");
                     return jvalue{};
                 });
    vm.addMethod(classes.exception, "<init>", "(I)V", [](Instance& self, const std::vector<jvalue>& args) {
        self.code = args[0].i;
        self.calls.push_back("<init>(int)");
        return jvalue{};
    });
    vm.addMethod(classes.exception, "setCCode", "(I)V", [](Instance& self, const std::vector<jvalue>& args) {
        self.code = args[0].i;
        self.calls.push_back("setCCode");
        return jvalue{};
    });
    classes.key = vm.defineClass("com/bravik/service/registry/NativeRegistryKey");
    vm.addIntField(classes.key, "hKey");
    classes.info = vm.defineClass("com/bravik/service/registry/RegistryKeyInfo");
    for (const char* field :
         {"subKeyCount", "maxSubKeyNameLength", "valueCount", "maxValueNameLength", "maxValueSize", "lastWriteTime"})
        vm.addIntField(classes.info, field);
    return classes;
}

} // namespace jni_standin
