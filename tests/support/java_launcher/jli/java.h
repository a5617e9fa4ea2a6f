/* What the JDK launcher's argument code (args.c, cmdtoargs.c, jli_util.c, compiled as they come
 * from the JDK's sources) needs of the rest of the launcher: the options that take their value
 * as the next argument, and the report of a message, which ends the launcher when args.c
 * calls exit() after it. */
#ifndef JAVA_LAUNCHER_JLI_JAVA_H
#define JAVA_LAUNCHER_JLI_JAVA_H

#include <jni.h>

#include "jli_util.h"
#include "emessages.h"

#define JDK_JAVA_OPTIONS "JDK_JAVA_OPTIONS"

#ifdef __cplusplus
extern "C" {
#endif

jboolean IsWhiteSpaceOption(const char* name);
void JLI_ReportMessage(const char* format, ...);

#ifdef __cplusplus
}
#endif

#endif
