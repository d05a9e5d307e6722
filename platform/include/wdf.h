// The framework's interface as drivers see it. Drivers include ntddk.h and then this header; every
// framework routine is an ordinary extern "C" function of the platform library.
#ifndef ZV_WDF_H
#define ZV_WDF_H

#include "ntddk.h"

#include "wdftypes.h"
#include "wdfobject.h"
#include "wdfcollection.h"
#include "wdfmemory.h"
#include "wdfstring.h"
#include "wdfdriver.h"
#include "wdfregistry.h"
#include "wdfdevice.h"
#include "wdfchildlist.h"
#include "wdfpdo.h"
#include "wdfqueryinterface.h"
#include "wdfsync.h"
#include "wdftimer.h"
#include "wdfworkitem.h"
#include "wdfrequest.h"
#include "wdfio.h"
#include "wdfiotarget.h"
#include "wdffileobject.h"
#include "wdfusb.h"

#endif // ZV_WDF_H
