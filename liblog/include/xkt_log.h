/*
 * libxktlog: the middleware's logging library.
 *
 * Every middleware process writes its messages through XKT_logWrite and its
 * variants. A message that passes the filter (log type, level, module)
 * becomes one record line in the Android log under the tag "XKT"; the
 * managing process reads the log back and hands every item to the channel
 * table. Usable from C and C++; nothing here throws.
 */
#ifndef XKT_LOG_H
#define XKT_LOG_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(XKT_LOG_BUILDING)
#define XKT_API __attribute__((visibility("default")))
#else
#define XKT_API
#endif

#if defined(__GNUC__)
#define XKT_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define XKT_PRINTF(fmt, args)
#endif

/* ---- Vocabulary ------------------------------------------------------- */

/* Log types. As a filter setting: 0 passes every type, 1 to 4 only that
 * type, 5 nothing. A message of a type above 5 is written with the type name
 * "Invalid Type" (the managing process then drops it). */
typedef uint32_t LogType;
enum {
    XKT_LOG_TYPE_ALL = 0,
    XKT_LOG_TYPE_RUN = 1,
    XKT_LOG_TYPE_OPER = 2,
    XKT_LOG_TYPE_SECURITY = 3,
    XKT_LOG_TYPE_USER = 4,
    XKT_LOG_TYPE_NONE = 5
};

/* Log levels, compared as numbers: a message passes when its level is at
 * least the filter's. Names are five characters ("  ALL", "DEBUG", " INFO",
 * " WARN", "ERROR", "TRACE", " NONE"). A message of a level above 6 passes a
 * level filter like any larger number, is written with the name
 * "Invalid Level" and the warn priority (the managing process then drops it). */
typedef uint32_t LogLevel;
enum {
    XKT_LOG_LEVEL_ALL = 0,
    XKT_LOG_LEVEL_DEBUG = 1,
    XKT_LOG_LEVEL_INFO = 2,
    XKT_LOG_LEVEL_WARN = 3,
    XKT_LOG_LEVEL_ERROR = 4,
    XKT_LOG_LEVEL_TRACE = 5,
    XKT_LOG_LEVEL_NONE = 6
};

#define XKT_LOG_CHANNEL_COUNT 7
#define XKT_LOG_TEXT_SIZE 64       /* module, file and function fields */
#define XKT_LOG_MESSAGE_SIZE 1024  /* message field */
#define XKT_LOG_FORMAT_BUFFER_SIZE 4096
#define XKT_LOG_AES_KEY_SIZE 16

/* Calendar time: six fields, then five words that stay zero. */
typedef struct LogTime {
    int32_t second;
    int32_t minute;
    int32_t hour;
    int32_t day;   /* day of month, 1..31 */
    int32_t month; /* 1..12 */
    int32_t year;  /* four digits */
    int32_t reserved[5];
} LogTime;

/* The parsed log record handed to formatters when recordKind is 1. */
typedef struct LogRecord {
    uint32_t length;   /* message length plus 265 */
    uint32_t sequence; /* running number stamped by the writer */
    uint32_t type;     /* LogType */
    uint32_t level;    /* LogLevel */
    LogTime time;
    char module[XKT_LOG_TEXT_SIZE];
    char file[XKT_LOG_TEXT_SIZE];     /* base name of the source file */
    char function[XKT_LOG_TEXT_SIZE];
    int32_t line;
    uint32_t threadId;
    int32_t code;
    char message[XKT_LOG_MESSAGE_SIZE];
} LogRecord;

/* Formats item (a LogRecord when recordKind is 1, otherwise a NUL-terminated
 * text line) into buffer (4096 bytes, cleared by the caller) as a text of at
 * most 4095 characters. 0 on success, -1 on failure. */
typedef int32_t (*LogFormatter)(const void* item, char* buffer, int32_t recordKind);
/* Delivers the formatted text. */
typedef int32_t (*LogOutput)(const char* text);

typedef struct LogChannel {
    LogFormatter formatter; /* may be null */
    LogOutput output;       /* may be null; then receives empty texts */
} LogChannel;

/* The host's parameter block for XKT_logInit: each field points to a value
 * the host owns. */
typedef struct LogParam {
    int32_t* pUseHttpsSyslog;        /* 1: send syslog over TLS */
    int32_t* pTimeInterval;          /* export period in seconds */
    int32_t* pErrorLogToFlashEnable; /* error-log export switch */
    int32_t* pANRLogToFlashEnable;   /* exception-log export switch */
} LogParam;

/* ---- Exported settings ------------------------------------------------ */

XKT_API extern int32_t g_iLogUseUTCTime;            /* non-zero: UTC time stamps */
XKT_API extern int32_t g_iJcKpiEnable;              /* non-zero: no time or thread look-ups */
XKT_API extern int32_t g_iANRLogToFlashEnable;
XKT_API extern int32_t g_iErrorLogToFlashEnable;
XKT_API extern int32_t g_iTimeIntervalForLogToFlash; /* milliseconds */
XKT_API extern int32_t g_system_ticks;              /* kept for the host; unused */

/* ---- Model and channel registration ----------------------------------- */

/* Stores the pair as channel index (0 to 6) and clears the syslog key.
 * Returns 0; an index outside 0 to 6 changes nothing and returns -1. */
XKT_API int32_t XKT_logRegCallback(int32_t index, LogFormatter formatter, LogOutput output);
/* Registers channel 3 with a 16-byte AES key for the syslog output. -1 and no
 * change when index is not 3 or key is null; otherwise 0. */
XKT_API int32_t XKT_logRegSTBMonitorCallback(int32_t index, LogFormatter formatter,
                                             LogOutput output, const uint8_t* key);
/* Replaces the 16-byte syslog key; 0, or -1 when key is null. */
XKT_API int32_t XKT_logRegAeskeyUpdateCallback(const uint8_t* key);
/* Resets the configured filter to type 0, level 0 and modules "ALL". */
XKT_API int32_t XKT_logFilterInit(void);
/* The five-character name of a level, "Invalid Level" above 6. Static text. */
XKT_API const char* XKT_logGetLevelStr(uint32_t level);

/* ---- Filter ---------------------------------------------------------------- */

XKT_API int32_t XKT_logFilterSetType(LogType type);
XKT_API int32_t XKT_logFilterSetLevel(LogLevel level);
/* "ALL" (or any text starting with "ALL", or null) passes every module;
 * otherwise up to ten names joined by "|". Publishes the filter to every
 * process through the property "xkt.log.modules". Returns 0. */
XKT_API int32_t XKT_logFilterSetModule(const char* modules);
/* Reports the configured type, level and module text (modules: a buffer of
 * at least 64 bytes). -1 when a pointer is null. */
XKT_API int32_t XKT_logFilterGet(LogType* type, LogLevel* level, char* modules);
/* Refreshes the module filter from the property "xkt.log.modules". */
XKT_API void XKT_readLogModules(void);
/* 0 when the message passes the type, level and module tests, else -1. */
XKT_API int32_t XKT_logFilter(LogType type, LogLevel level, const char* module);
/* 0 when log management has been taken over and the message passes the
 * filter, else -1. */
XKT_API int32_t XKT_canLogOutput(LogType type, LogLevel level, const char* module);

/* ---- Write calls ------------------------------------------------------------ */

/* Writes one record line. The message is cut at 759 characters. Returns -1
 * when filtered out, otherwise the result of the Android log write. */
XKT_API int32_t XKT_logWrite(const char* file, int32_t line, const char* function, int32_t code,
                             LogType type, LogLevel level, const char* module,
                             const char* format, ...) XKT_PRINTF(8, 9);
/* Writes an already formatted text (cut at 1023 characters) with the given
 * thread id. -1 when filtered out, 0 when the time cannot be read. */
XKT_API int32_t XKT_logFormatWrite(const char* file, int32_t line, const char* function,
                                   uint32_t threadId, LogType type, LogLevel level,
                                   const char* module, const char* text);
/* The management agent's write. module and function must not be null.
 * -1 when filtered out, otherwise 0. */
XKT_API int32_t android_log_write(const char* file, int32_t line, const char* function,
                                  int32_t value, LogType type, LogLevel level,
                                  const char* module, const char* format, ...) XKT_PRINTF(8, 9);
/* Logs a hex dump of up to 512 bytes at DEBUG. */
XKT_API void XKT_logPrintBuf(const void* buffer, uint32_t length);
/* A libcurl debug callback (CURLOPT_DEBUGFUNCTION) logging at DEBUG. */
XKT_API int32_t XKT_CurlDebugLog(void* handle, int32_t infoType, char* data, size_t size,
                                 void* userData);
/* Does nothing; kept for callers of the older interface. */
XKT_API void XKT_logWriteEx(void);
XKT_API void intrace(void);
/* The part of path behind its last "/"; null for a null path. */
XKT_API const char* XKT_logGetFile(const char* path);
/* Fills the six calendar fields with the local time; 0, or -1. */
XKT_API int32_t XKT_get_Localtime(LogTime* time);

/* ---- Initialisation and settings ---------------------------------------------- */

/* Every process calls this once. The first whose call finds log management
 * not yet taken over becomes the managing process (log directory, filters,
 * channels 0 and 2, log thread, takeover property); any other only takes
 * over the parameter block. reserved is ignored; param may be null.
 * 0 on success or when management was already taken over, -1 on failure. */
XKT_API int32_t XKT_logInit(int32_t reserved, LogLevel level, LogType type, const char* modules,
                            const LogParam* param);
/* The body of XKT_logInit, without its lock and the parameter block. */
XKT_API int32_t XKT_logInitImp(int32_t reserved, LogLevel level, LogType type,
                               const char* modules);
/* Takes over the host's parameter block (null, or a null first field: no change). */
XKT_API void XKT_logParamInit(const LogParam* param);
/* Switches to the logcat reader on Android generations above 2; returns the
 * generation. */
XKT_API int32_t XKT_checkStatus(void);
/* Destroys the locks, clears the channel table and forgets the takeover in
 * this process. Returns 0. */
XKT_API int32_t XKT_logDeinit(void);
/* name "ErrorLogToFlashEnable" or "ANRLogToFlashEnable", value "0" or "1". */
XKT_API void XKT_setLogToFlashEnable(const char* name, const char* value);

/* ---- Default and local file channels -------------------------------------------- */

XKT_API int32_t XKT_logDefFormatter(const void* item, char* out, int32_t recordKind);
XKT_API int32_t XKT_logDefOutput(const char* text);
/* Appends text to the current file under /tmp/log, rotating at 130048 bytes. */
XKT_API int32_t XKT_logFileOutput(const char* text);
XKT_API int32_t XKT_logInitFile(void);
/* A new file name (MAC tail and local time) into buffer; size at most 246. */
XKT_API int32_t XKT_logGetOutputName(char* buffer, uint32_t size);
/* Copies the current file's path; null when buffer is null or size > 255
 * (plus the length of the box root on a development machine). */
XKT_API char* XKT_logGetFilePath(char* buffer, uint32_t size);
/* Stores the length of text in *lengthOut. */
XKT_API int32_t XKT_logFileFormatter(const void* item, const char* text, uint32_t* lengthOut);

/* ---- Syslog formats ------------------------------------------------------------------ */

/* severity(level) + 8 * facility(type), or -1 when the tables have none. */
XKT_API int32_t XKT_getLocalLogPRI(uint32_t level, uint32_t type);
/* Ends the text of length characters with exactly one line feed. */
XKT_API int32_t XKT_CheckLogFinshFlag(char* buffer, int32_t length);
/* The syslog channel formatter: classic line, or the structured one for TLS
 * without AES key. */
XKT_API int32_t XKT_SyslogFormatter(const void* item, char* out, int32_t recordKind);
/* The structured, octet-counted layout into out[size]. */
XKT_API int32_t XKT_syslogProtoFormatter(const void* item, char* out, int32_t size,
                                         int32_t recordKind);

/* ---- Log reader ------------------------------------------------------------------------- */

/* A log device entry's header, decoded (the device gives it little-endian). */
typedef struct LogDeviceHeader {
    uint16_t length; /* payload length */
    uint16_t padding;
    int32_t pid;
    int32_t tid;
    int32_t seconds;
    int32_t nanoseconds;
} LogDeviceHeader;

struct XKT_LogcatEntry; /* the logcat reader's entry descriptor */

#define XKT_LOG_ITEM_SIZE 1288 /* item and entry buffers of the reader */

XKT_API extern char logDev[4][16];
XKT_API extern int32_t logDeviceFd[8];

/* The log thread's entry: reads the Android log back and dispatches every
 * item. Returns 0 only when no log device could be opened. */
XKT_API int32_t XKT_logThread(void);
/* Reads and converts one device entry into item (1288 bytes); 0 when item
 * holds a converted item, -1 otherwise. */
XKT_API int32_t XKT_logBufRead(void* item, int32_t* recordKind);
/* Hands item to channels 0 to 6 (channel 4 only in logcat mode). */
XKT_API int32_t XKT_processLog(void* item, int32_t* recordKind);

/* Converts one Android log entry into a LogRecord (record kind 1) or a plain
 * line (record kind 0) in item (1288 bytes). entry holds a device entry
 * (header decoded in header) or, with descriptor, one logcat text line.
 * 0, or -1 when the entry is dropped. */
XKT_API int32_t convertLogEntry(void* item, const char* entry, const LogDeviceHeader* header,
                                int32_t* recordKind, const struct XKT_LogcatEntry* descriptor);
XKT_API int32_t parseMiddlewareEntry(void* item, const char* entry, const LogDeviceHeader* header,
                                     int32_t* recordKind, const struct XKT_LogcatEntry* descriptor,
                                     const char* tag, int32_t messageOffset, int32_t priority);
XKT_API int32_t formatRawEntry(void* item, const char* entry, const LogDeviceHeader* header,
                               int32_t* recordKind, const struct XKT_LogcatEntry* descriptor,
                               int32_t priority, int32_t messageOffset, const char* tag);

/* ---- Shell commands and file operations ------------------------------------------------- */

/* Runs a command line; negative on failure, otherwise 0 or the process id of
 * the started command. */
XKT_API int32_t XKT_actShellCmd(const char* command);
XKT_API int32_t XKT_chownUserToSystem(const char* path);
XKT_API int32_t XKT_createFolder(const char* path);
XKT_API int32_t XKT_deleteFile(const char* path);
XKT_API int32_t XKT_deleteAllfileofFolder(const char* path);

/* ---- Syslog transports --------------------------------------------------------------------- */

/* The TLS session of the syslog stream. Only state tells whether the other
 * three are valid. */
typedef struct SyslogTlsContext {
    int32_t state;    /* 1 connected, 0 not */
    int32_t socket;   /* TCP descriptor, -1 for none */
    void* sslContext; /* the OpenSSL context (SSL_CTX) */
    void* ssl;        /* the OpenSSL session (SSL) */
} SyslogTlsContext;

XKT_API extern SyslogTlsContext g_tlsContext;

/* The syslog channel output: sends the line to the collector set by
 * XKT_setCPESysLogParam, as an AES-128-CBC datagram when a syslog key is set,
 * else as a record on the TLS stream when the host selected TLS, else as a
 * plain UDP datagram. 0 when the line was handed to the transport, -1
 * otherwise (also for a null or empty line). */
XKT_API int32_t XKT_SysLogOutput(const char* line);
/* Writes length bytes of text to the TLS stream, connecting first when
 * needed. The bytes written, 0 for an empty text, negative on failure with
 * errno set (103 aborted, 11 try again, 32 broken pipe, or the system's).
 * Refuses 8192 bytes or more. */
XKT_API int32_t sendSyslogMessage(const char* text, uint32_t length);
/* The current session when connected, otherwise a new one to server (dotted
 * IPv4, not resolved) and port, or the not-connected value {0, -1, 0, 0}.
 * The collector must present a certificate that the CA file
 * /system/iptv/setting/security/cacerts/ca_tracelog.pem vouches for. */
XKT_API SyslogTlsContext XKT_initSyslogConnecttion(const char* server, uint16_t port);
/* The certificate verification callback of the TLS context; storeContext is
 * OpenSSL's X509_STORE_CTX. 1 accepts the certificate, 0 refuses it. */
XKT_API int32_t tls_session_verify_callback(int32_t preverify, void* storeContext);
/* Its decision for the current certificate; session is the SSL, unused. */
XKT_API int32_t tls_session_verify(void* session, int32_t preverify, void* storeContext);
/* Kept for callers of the older interface: 0 and 1, whatever they are given. */
XKT_API int32_t tls_session_verify_fingerprint(void* session, void* storeContext);
XKT_API int32_t tls_session_verify_dn(void* session, void* storeContext);

/* ---- Management agent ----------------------------------------------------------------------- */

/* Sets the syslog tag prefix (null or empty: "null" until one is given), reads
 * the software version from the property "ro.software" and, when server is
 * neither null nor empty, tears the TLS session down and takes "address" or
 * "address:port" (port 514 by default). reserved has no effect. Returns 0. */
XKT_API int32_t XKT_setCPESysLogParam(const char* tagPrefix, const char* reserved,
                                      const char* server);
/* Writes one message with the agent's type (a syslog facility) and level (a
 * syslog severity) mapped to the library's. Texts of 4096 characters or more
 * are dropped. */
XKT_API void XKT_cpeAgentLogWrite(const char* file, int32_t line, const char* function,
                                  int32_t value, uint32_t agentType, uint32_t agentLevel,
                                  const char* module, const char* format, ...) XKT_PRINTF(8, 9);
/* Agent level (syslog severity) to LogLevel; 6 (" NONE") above 7. */
XKT_API int32_t XKT_swapTMSLogLevel(uint32_t agentLevel);
/* Agent type (syslog facility) to LogType; 5 ("None") above 20. */
XKT_API int32_t XKT_swapTMSLogType(uint32_t agentType);
/* LogLevel to syslog severity; -1 from 6 (" NONE") on. */
XKT_API int32_t XKT_swapLocalLogLevel(uint32_t level);
/* LogType to syslog facility; -1 from 5 ("None") on. */
XKT_API int32_t XKT_swapLocalLogType(uint32_t type);

/* ---- Error log: capture ------------------------------------------------------------------- */

/* Error lines collect in $ROOT/tmp/errorlog/error<N>.log, N cycling through
 * g_iTmpErrorlogNum files of 2 MiB each; the export packs them onto flash. */
XKT_API extern int32_t g_iTmpErrorlogNum;      /* 5 or 10, from ro.total.memsize */
XKT_API extern uint32_t g_pErrorLogMutex;      /* guards the current file */
XKT_API extern FILE* g_pErrorLogFileHandle;    /* the open current file, or null */
XKT_API extern int32_t g_iErrorLogStatus;      /* 1 while an export runs */
XKT_API extern int32_t g_LogOutputTimerID;     /* the export timer, -1 until added */

/* Prepares the temporary directory and the flash store, registers channel 4
 * and arms the export timer (first run after g_iTimeIntervalForLogToFlash
 * ms, then every period; a period of 0 runs the export once, at once). On
 * Android generations up to 2 it also starts the capture ring. 0, or -1. */
XKT_API int32_t XTK_ErrorLogInit(void);
/* Channel 4's formatter: accepts ERROR records of types 0 to 4 and plain
 * lines whose priority letter (before the first "/") is "E". 0 when a line
 * was composed into out (4096 bytes), -1 when the item is refused. */
XKT_API int32_t XKT_errorlogFormatter(const void* item, char* out, int32_t recordKind);
/* Composes one error-log line ending in one line feed into out (4096
 * bytes): the long layout (file:line code:) for a record with a line and a
 * file, the short one otherwise. 0, or -1. */
XKT_API int32_t XKT_handleLogMsg(const void* item, char* out, int32_t priority,
                                 const char* message, int32_t recordKind);
/* Channel 4's output: appends the line to the current temporary file and
 * flushes it. -1 for a null or empty line or a failed write. */
XKT_API int32_t XKT_errorlogFileOutput(const char* text);

/* ---- Error log: export to flash ------------------------------------------------------------ */

/* One export, when the switch is on and none is running: every temporary
 * file, oldest first, into its own archive under $ROOT/data/tarvek-log/Error
 * (at most 50, by the cyclic index in $ROOT/data/errorindex.txt), then the
 * temporary directory emptied. 0 after a completed export; any other value
 * is not a status. */
XKT_API int32_t XKT_errorlogOutputTrigger(void);
/* Packs every file the list file names, advancing *index (mod 50) per
 * named file. 0, or -1 when the list cannot be opened or read. */
XKT_API int32_t XKT_OutputErrLogToFlash(int32_t* index);
/* "busybox tar -czvf archive -C dir name", then the archive handed to the
 * system user. 0, or -1. */
XKT_API int32_t XKT_compressErrorLogToFlash(const char* archive, const char* dir,
                                            const char* name);

/* ---- Error log: capture ring of the older Android generations ------------------------------- */

#define XKT_LOGBUFF_ENTRY_SIZE 4096
#define XKT_LOGBUFF_SLOTS 3

/* One raw log-device entry (20-byte header and payload, as one read gave
 * it) and the next block of its slot; a slot's head block holds no entry. */
typedef struct LogBuffBlock {
    char entry[XKT_LOGBUFF_ENTRY_SIZE];
    struct LogBuffBlock* next;
} LogBuffBlock;

XKT_API extern LogBuffBlock* g_logbuff[XKT_LOGBUFF_SLOTS];
XKT_API extern uint32_t g_logbuffMutex[XKT_LOGBUFF_SLOTS];

/* Creates the ring and starts the "ErrorLog" thread. 0, or -1. */
XKT_API int32_t XKT_OldVersionErrorLogInit(void);
/* The "ErrorLog" thread: reads /dev/log/main and /dev/log/system into the
 * ring. Returns (0) only when it cannot build its device list. */
XKT_API int32_t XKT_errorLogThread(void);
/* The "WriteLogLines" thread: empties the ring through the conversion into
 * channel 4. Never returns. */
XKT_API int32_t writeLogLines(void);

/* ---- Flash log store -------------------------------------------------------------------------- */

/* isExp 0 selects the error store, any other value the exception store. */

/* The archive name for index: "Err_<model>_<mac>_<yyyymmddhhmmss>_<nn>.log"
 * (error store; file name only) or the full path
 * "$ROOT/data/tarvek-log/exp/Exp_..._<nn>.log.tar.gz" (exception store),
 * into out[size]. 0, or -1 (also when the name does not fit). */
XKT_API int32_t XKT_getNewLogFileName(char* out, uint32_t size, int32_t index, int32_t isExp);
/* The MAC address without its colons into out (zero-filled by the caller,
 * at least 13 bytes; no terminator is written). 0, or -1. */
XKT_API int32_t XKT_getMacString(char* out);
/* The number in the index file path, or -1 when it cannot be opened or its
 * first line is empty. */
XKT_API int32_t XKT_readIndexFromFile(const char* path);
/* Lists the files of dir into listPath, oldest first. 0, or -1. */
XKT_API int32_t XKT_sortLogByTime(const char* dir, const char* listPath);
/* Lines of the store's list file, or -1. */
XKT_API int32_t XKT_getTmplogNum(int32_t isExp);
/* Deletes the store's archives whose index lies in the cyclic range
 * iStartIndex..iEndIndex. 0, or -1 when the flash directory cannot be
 * opened. */
XKT_API int32_t XKT_deleteLogByIndex(int32_t iStartIndex, int32_t iEndIndex, int32_t isExp);
/* Deletes the archives whose indexes an export starting at iCurLogIndex
 * will reuse. 0, or -1. */
XKT_API int32_t XKT_deleteFlashLog(int32_t iCurLogIndex, int32_t isExp);
/* "busybox cp src dst". 0, or -1. */
XKT_API int32_t XKT_copyFile(const char* src, const char* dst);

/* ---- Exception log: capture ----------------------------------------------------------------- */

/* Snapshots of an ANR (kind 0) or an abnormal reboot (any other kind) in
 * $ROOT/tmp/DQN: a logcat capture, top, /proc/meminfo and, for an ANR,
 * $ROOT/data/anr/traces.txt, packed into APK_ANR_<time>.tar.gz or
 * SYS_ABN_<time>.tar.gz. At most 10 wait there for the export. */
XKT_API extern uint32_t g_pExpLogMutex; /* serialises captures, guards the name ring */
XKT_API extern int32_t g_iExpLogStatus; /* kept for the host; unused */
XKT_API extern int32_t g_LogAutoExpID;  /* kept for the host; unused (-1) */

/* Prepares $ROOT/tmp/DQN, the flash store, the lock and the name ring, and
 * arms the export timer. 0, or -1. */
XKT_API int32_t XKT_ExpLogInit(void);
/* One capture; waits for a running one. 0 when the archive was made; -1
 * otherwise, also before XKT_ExpLogInit. */
XKT_API int32_t XKT_expLogToTmp(int32_t iLogType);
/* Starts "logcat -v threadtime -f FILE"; its process id, or -1. */
XKT_API int32_t XKT_startCollectLog(int32_t iLogType);
/* Kills the collector ("busybox kill -9 ID") and hands its file to the
 * system user. 0, or -1 when the kill cannot be run. */
XKT_API int32_t XKT_stopCollectLog(int32_t iLogcatID);
/* The collector's single-run timer: stops collector iArg. */
XKT_API void XKT_expLogOutputTimer(int32_t ignored, int32_t iArg);
XKT_API int32_t XKT_collectTopinfo(int32_t iLogType);
XKT_API int32_t XKT_collectMemoryinfo(int32_t iLogType);
XKT_API int32_t XKT_compressExpLog(int32_t iLogType);
/* Removes the oldest entry of $ROOT/tmp/DQN when 10 or more wait. 0, or -1. */
XKT_API int32_t XKT_deleteEarlistTmpExpLog(void);
/* Removes the loose text files of $ROOT/tmp/DQN. 0, or -1. */
XKT_API int32_t XKT_deleteTmpExpFile(void);

/* The ANR log name buffer: the paths of the last ANR archives (at most 3),
 * oldest out first. */
/* Empties it. 0, or -1 before XKT_ExpLogInit. */
XKT_API int32_t XKT_anrLogNameBufClear(void);
/* Stores path (length at most 255); the caller holds g_pExpLogMutex.
 * 1 stored, 0 full, -1 bad argument. */
XKT_API int32_t XKT_anrLogNameBufSet(const char* path, int32_t length);
/* Takes the oldest path into buffer (cut to size - 1 characters). 1 taken,
 * 0 empty, -1 null buffer or before XKT_ExpLogInit. */
XKT_API int32_t XKT_anrLogNameBufGet(char* buffer, int32_t size);

/* ---- Exception log: export to flash ----------------------------------------------------------- */

/* One export when g_iANRLogToFlashEnable is on: the waiting archives of
 * $ROOT/tmp/DQN, then $ROOT/data/tombstones packed into one more, into
 * $ROOT/data/tarvek-log/exp (at most 10, by the cyclic index in
 * $ROOT/data/expindex.txt). Waits for a running capture. 0 after a completed
 * export, -1 otherwise. */
XKT_API int32_t XKT_explogOutputTrigger(void);
/* Copies every archive the list file names, advancing *index (mod 10) per
 * copy. 0, or -1 when the list cannot be opened or read. */
XKT_API int32_t XKT_OutputExpLogToFlash(int32_t* index);
/* Packs $ROOT/data/tombstones under *index and empties it. 0, or -1. */
XKT_API int32_t XKT_OutputTombstonesToFlash(int32_t* index);
/* "cp src dst". 0, or -1. */
XKT_API int32_t XKT_copyLogFile(const char* src, const char* dst);

/* ---- Diagnostic store start-up ------------------------------------------------------------------ */

/* The number after "SoftParam.UniLogOptimization.Enable" in
 * $ROOT/system/iptv/setting/softparam.ini, or -1 when the file cannot be
 * read or holds no such key. 1 makes the managing process start the error
 * log and the exception log. */
XKT_API int32_t XKT_getK47FeaturesValue(void);

/* Convenience for callers: the caller's own source position. */
#define XKT_LOG(type, level, module, ...) \
    XKT_logWrite(__FILE__, __LINE__, __func__, 0, (type), (level), (module), __VA_ARGS__)

#ifdef __cplusplus
}
#endif

#endif
