/* The machine-dependent part of jni.h for 32-bit Windows, as a 32-bit Windows JVM expects it. */
#ifndef BRAVIK_JNI_MD_H
#define BRAVIK_JNI_MD_H

/* The export table comes from each library's module-definition file, which names exactly the
   decorated forms a 32-bit JVM looks up; marking functions dllexport as well would add
   undecorated duplicates. */
#define JNIEXPORT
#define JNIIMPORT
#define JNICALL __stdcall

typedef long jint;
typedef __int64 jlong;
typedef signed char jbyte;

#endif
