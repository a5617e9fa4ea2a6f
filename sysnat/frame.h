// What every native method of sysnat shares: text in and out as Java byte arrays in the ANSI
// code page, and owners for the converted strings and the JNI element buffers.
#pragma once

#include <jni.h>

#include "jni_guard.h"
#include "jni_owners.h"

#include "../common/owners.h"

// A zero-terminated string in a block of the C runtime heap.
using CString = UniqueCBlock;

// The array's bytes followed by at least two zero bytes, in a block of length + 2; null when
// the array is null, its elements cannot be had, or the block cannot be allocated.
CString copyByteArrayToCString(JNIEnv* env, jbyteArray array);

// A new byte array holding the string without its terminator; null, with the runtime's
// exception pending, when it cannot be made.
jbyteArray newByteArrayFromCString(JNIEnv* env, const char* text);
