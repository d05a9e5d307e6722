// Kept so that sources written for the kit build unchanged: on this platform DEFINE_GUID always gives a
// constant of the translation unit, so defining INITGUID first changes nothing.
#ifndef ZV_INITGUID_H
#define ZV_INITGUID_H

#ifndef INITGUID
#define INITGUID
#endif

#endif // ZV_INITGUID_H
