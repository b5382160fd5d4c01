// The Connection Manager (the "cellcore" module): data connections to a
// destination network and the proxy they need. Desktop Windows headers lack
// it, so its types, constants, GUIDs and prototypes are declared here for
// both builds, with the names and values of the device SDK.
#pragma once

#ifndef _WIN32
#include "wince/types.h"
#endif

// CONNMGR_CONNECTIONINFO.dwParams: which optional fields are valid.
#define CONNMGR_PARAM_GUIDDESTNET 0x1
#define CONNMGR_PARAM_MAXCOST 0x2
#define CONNMGR_PARAM_MINRCVBW 0x4
#define CONNMGR_PARAM_MAXCONNLATENCY 0x8

// CONNMGR_CONNECTIONINFO.dwFlags: the proxies the caller can use.
#define CONNMGR_FLAG_PROXY_HTTP 0x1
#define CONNMGR_FLAG_PROXY_WAP 0x2
#define CONNMGR_FLAG_PROXY_SOCKS4 0x4
#define CONNMGR_FLAG_PROXY_SOCKS5 0x8
#define CONNMGR_FLAG_SUSPEND_AWARE 0x10
#define CONNMGR_FLAG_REGISTERED_HOME 0x20
#define CONNMGR_FLAG_NO_ERROR_MSGS 0x40

// CONNMGR_CONNECTIONINFO.dwPriority.
#define CONNMGR_PRIORITY_VOICE 0x20000
#define CONNMGR_PRIORITY_USERINTERACTIVE 0x08000
#define CONNMGR_PRIORITY_USERBACKGROUND 0x02000
#define CONNMGR_PRIORITY_USERIDLE 0x00800
#define CONNMGR_PRIORITY_HIPRIBKGND 0x00200
#define CONNMGR_PRIORITY_IDLEBKGND 0x00080
#define CONNMGR_PRIORITY_EXTERNALINTERACTIVE 0x00020
#define CONNMGR_PRIORITY_LOWBKGND 0x00008
#define CONNMGR_PRIORITY_CACHED 0x00002
#define CONNMGR_PRIORITY_ALWAYS_ON 0x00001

// Connection status codes.
#define CONNMGR_STATUS_UNKNOWN 0x00
#define CONNMGR_STATUS_CONNECTED 0x10
#define CONNMGR_STATUS_SUSPENDED 0x11
#define CONNMGR_STATUS_DISCONNECTED 0x20
#define CONNMGR_STATUS_CONNECTIONFAILED 0x21
#define CONNMGR_STATUS_CONNECTIONCANCELED 0x22
#define CONNMGR_STATUS_CONNECTIONDISABLED 0x23
#define CONNMGR_STATUS_NOPATHTODESTINATION 0x24
#define CONNMGR_STATUS_WAITINGFORPATH 0x25
#define CONNMGR_STATUS_WAITINGFORPHONE 0x26
#define CONNMGR_STATUS_PHONEOFF 0x27
#define CONNMGR_STATUS_EXCLUSIVECONFLICT 0x28
#define CONNMGR_STATUS_NORESOURCES 0x29
#define CONNMGR_STATUS_CONNECTIONLINKFAILED 0x2A
#define CONNMGR_STATUS_AUTHENTICATIONFAILED 0x2B
#define CONNMGR_STATUS_NOPATHWITHPROPERTY 0x2C
#define CONNMGR_STATUS_WAITINGCONNECTION 0x40
#define CONNMGR_STATUS_WAITINGFORRESOURCE 0x41
#define CONNMGR_STATUS_WAITINGFORNETWORK 0x42
#define CONNMGR_STATUS_WAITINGDISCONNECTION 0x80
#define CONNMGR_STATUS_WAITINGCONNECTIONABORT 0x81

typedef struct _CONNMGR_CONNECTIONINFO {
    DWORD cbSize;
    DWORD dwParams;
    DWORD dwFlags;
    DWORD dwPriority;
    BOOL bExclusive;
    BOOL bDisabled;
    GUID guidDestNet;
    HWND hWnd;
    UINT uMsg;
    LPARAM lParam;
    ULONG ulMaxCost;
    ULONG ulMinRcvBw;
    ULONG ulMaxConnLatency;
} CONNMGR_CONNECTIONINFO;

// The proxy of a connection, read with ConnMgrProviderMessage and
// IID_ConnPrv_IProxyExtension.
#define CMPROXY_PROXYSERVER_MAXSIZE 256
#define CMPROXY_USERNAME_MAXSIZE 32
#define CMPROXY_PASSWORD_MAXSIZE 32
#define CMPROXY_EXTRAINFO_MAXSIZE 256
#define CMPROXY_PROXYOVERRIDE_MAXSIZE 64

typedef struct _PROXY_CONFIG {
    DWORD dwType;
    DWORD dwEnable;
    WCHAR szProxyServer[CMPROXY_PROXYSERVER_MAXSIZE];
    WCHAR szUsername[CMPROXY_USERNAME_MAXSIZE];
    WCHAR szPassword[CMPROXY_PASSWORD_MAXSIZE];
    WCHAR szProxyOverride[CMPROXY_PROXYOVERRIDE_MAXSIZE];
    WCHAR szExtraInfo[CMPROXY_EXTRAINFO_MAXSIZE];
} PROXY_CONFIG;

// The Internet as a destination network.
inline const GUID IID_DestNetInternet = {
    0x436ef144, 0xb4fb, 0x4863, {0xa0, 0x41, 0x8f, 0x90, 0x5a, 0x62, 0xc5, 0x72}};
// The proxy provider of a connection.
inline const GUID IID_ConnPrv_IProxyExtension = {
    0xaf96b0bd, 0xa481, 0x482c, {0xa0, 0x94, 0xa8, 0x44, 0x87, 0x67, 0xa0, 0xc0}};

// C names, as the device's library exports them.
extern "C" {
HRESULT WINAPI ConnMgrEstablishConnection(CONNMGR_CONNECTIONINFO* pConnInfo, HANDLE* phConnection);
HRESULT WINAPI ConnMgrEstablishConnectionSync(CONNMGR_CONNECTIONINFO* pConnInfo,
                                              HANDLE* phConnection, DWORD dwTimeout,
                                              DWORD* pdwStatus);
HRESULT WINAPI ConnMgrConnectionStatus(HANDLE hConnection, DWORD* pdwStatus);
HRESULT WINAPI ConnMgrReleaseConnection(HANDLE hConnection, LONG lCache);
HRESULT WINAPI ConnMgrProviderMessage(HANDLE hConnection, const GUID* pguidProvider,
                                      DWORD* pdwIndex, DWORD dwMsg1, DWORD dwMsg2, BYTE* pParams,
                                      ULONG cbParamSize);
}  // extern "C"
