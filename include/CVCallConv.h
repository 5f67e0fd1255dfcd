/* Calling convention of every function that crosses between the host, its companion
 * libraries and the plug-in: stdcall on 32-bit x86, the platform's default elsewhere. */
#ifndef CV_CALLCONV_H
#define CV_CALLCONV_H

#if defined(__i386__)
#define CVCALL __attribute__((stdcall))
#else
#define CVCALL
#endif

#define CV_EXPORT __attribute__((visibility("default")))

#endif
