// The Windows machine-dependent JNI types, for builds whose JDK carries only
// another platform's jni_md.h (the MinGW cross build). A Windows JDK's own
// include/win32 folder is used in preference.
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

// jint is long on Windows, as in the JDK's own header, so that exported
// signatures match what the Windows JVM expects.
typedef long jint;
typedef __int64 jlong;
typedef signed char jbyte;

#endif
