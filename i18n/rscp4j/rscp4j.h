// Natives of the Java class com.weq.i18n.cp.ConverterJNI: the code page
// converter driven from Java. Java keeps each converter as a byte[172] that
// holds the bytes of one rscpCObj_t; a native copies it in, works on the
// copy and, where it says so, copies it back. Code pages travel as char[4]
// ("0000" stands for "4103"); results of conversions and tables come back
// as new Java objects or in ranges of the caller's arrays, codes in an
// int[] err of {rc, count} (as many of the two as the array holds).
//
// Every failure is recorded on the calling thread's converter error stack
// (class 'J' for the natives' own reports), where GetLastError shows it, and
// reaches Java as a code and an empty or NULL result; no native throws. A
// native checks its Java arguments before it does anything: a converter of
// another length than 172 bytes, a NULL array or String, or a range outside
// its array is refused with 16 (RSCPEINVAL).
//
// The natives keep no state: each works on its own copy of the converter,
// so any number of threads may call them at once with different converters.
// Inputs up to 10240 bytes or characters and outputs up to 1024 bytes stay
// on the native stack.
#ifndef I18N_RSCP4J_RSCP4J_H
#define I18N_RSCP4J_RSCP4J_H

#include <jni.h>

extern "C" {
// Set-up, errors, system code page, shortcut type.
jint Java_com_weq_i18n_cp_ConverterJNI_CheckRequiredVersion(JNIEnv* env, jclass cls, jint major, jint minor);
jstring Java_com_weq_i18n_cp_ConverterJNI_GetVersion(JNIEnv* env, jclass cls);
jbyteArray Java_com_weq_i18n_cp_ConverterJNI_ConvertInit(JNIEnv* env, jclass cls, jcharArray from, jcharArray to,
                                                         jboolean mode, jintArray err);
void Java_com_weq_i18n_cp_ConverterJNI_ConvertFinish(JNIEnv* env, jclass cls, jbyteArray converter);
jstring Java_com_weq_i18n_cp_ConverterJNI_GetLastError(JNIEnv* env, jclass cls);
jcharArray Java_com_weq_i18n_cp_ConverterJNI_GetSystemCodePage(JNIEnv* env, jclass cls);
jint Java_com_weq_i18n_cp_ConverterJNI_GetShortcutType(JNIEnv* env, jclass cls, jbyteArray converter);

// Exported conversion tables.
jint Java_com_weq_i18n_cp_ConverterJNI_GetSb2UcTab(JNIEnv* env, jclass cls, jbyteArray converter, jcharArray table);
jintArray Java_com_weq_i18n_cp_ConverterJNI_GetDb2UcTab(JNIEnv* env, jclass cls, jbyteArray converter,
                                                        jbyteArray leadLength, jcharArray leadValue,
                                                        jcharArray broken, jintArray err);
jbyteArray Java_com_weq_i18n_cp_ConverterJNI_GetUc2SbTab(JNIEnv* env, jclass cls, jbyteArray converter,
                                                         jintArray err);
jcharArray Java_com_weq_i18n_cp_ConverterJNI_GetUc2DbTab(JNIEnv* env, jclass cls, jbyteArray converter,
                                                         jcharArray index, jintArray err);

// Conversions: C is Java text (16-bit characters in the machine's order),
// X the bytes of the converter's output (or input) code page.
jbyteArray Java_com_weq_i18n_cp_ConverterJNI_ConvertCToX(JNIEnv* env, jclass cls, jbyteArray converter,
                                                         jstring text, jintArray err);
jstring Java_com_weq_i18n_cp_ConverterJNI_ConvertXToC(JNIEnv* env, jclass cls, jbyteArray converter,
                                                      jbyteArray input, jintArray err);
jbyteArray Java_com_weq_i18n_cp_ConverterJNI_ConvertXToX(JNIEnv* env, jclass cls, jbyteArray converter,
                                                         jbyteArray input, jintArray err);
jint Java_com_weq_i18n_cp_ConverterJNI_ConvertXToCArr(JNIEnv* env, jclass cls, jbyteArray converter, jbyteArray in,
                                                      jint inStart, jint inEnd, jcharArray out, jint outStart,
                                                      jint outEnd);
jint Java_com_weq_i18n_cp_ConverterJNI_ConvertXToCArrR(JNIEnv* env, jclass cls, jbyteArray converter,
                                                       jbyteArray in, jint inStart, jint inEnd, jcharArray out,
                                                       jint outStart, jint outEnd, jintArray err);
jint Java_com_weq_i18n_cp_ConverterJNI_ConvertCToXArr(JNIEnv* env, jclass cls, jbyteArray converter, jcharArray in,
                                                      jint inStart, jint inEnd, jbyteArray out, jint outStart,
                                                      jint outEnd);
jint Java_com_weq_i18n_cp_ConverterJNI_ConvertCToXArrR(JNIEnv* env, jclass cls, jbyteArray converter,
                                                       jcharArray in, jint inStart, jint inEnd, jbyteArray out,
                                                       jint outStart, jint outEnd, jintArray err);
}

#endif
