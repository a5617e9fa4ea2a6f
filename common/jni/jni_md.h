/* The machine-dependent part of jni.h for Windows, as the JVM of each architecture expects it. */
#ifndef BRAVIK_JNI_MD_H
#define BRAVIK_JNI_MD_H

/* The export table comes from each library's module-definition file, which names exactly the
   forms the JVM looks up (decorated on 32-bit Windows, plain on 64-bit Windows); marking
   functions dllexport as well would add duplicates under other names. */
#define JNIEXPORT
#define JNIIMPORT

#ifdef _WIN64
/* Win64 has one calling convention. */
#define JNICALL
#else
#define JNICALL __stdcall
#endif

/* long stays 32 bits on Win64 (LLP64), so jint is 32 bits on both architectures. */
typedef long jint;
typedef __int64 jlong;
typedef signed char jbyte;

#endif
