// The application's own configuration file, in the framework configuration's
// format (lines NAME TYPE VALUE). Its path is the framework configuration's
// APP_CONFIG_FILE (default "app_config.txt"); it is loaded once per process.
// Every getter answers -1 with OBJECT_NULL_PTR before it is loaded.
#pragma once

int getAppConfigFilaname(char (&pathname)[101]);
int getAppConfigFilaname2(char (&pathname)[256]);
int loadAppConfigFile(char (&pathname)[101]);
int loadAppConfigFile2(char (&pathname)[256]);

// Absent key: the default and 0; a key of another type: -1 with
// INVALID_PARAMETER_TYPE and the value unchanged.
int getInt16Para(char (&paraName)[17], short* valuePtr, short defaultValue);
int getInt32Para(char (&paraName)[17], int* valuePtr, int defaultValue);
int getInt64Para(char (&paraName)[17], long* valuePtr, long defaultValue);
int getUint16Para(char (&paraName)[17], unsigned short* valuePtr, unsigned short defaultValue);
int getUint32Para(char (&paraName)[17], unsigned int* valuePtr, unsigned int defaultValue);
int getUint64Para(char (&paraName)[17], unsigned long* valuePtr, unsigned long defaultValue);
int getDoublePara(char (&paraName)[17], double* valuePtr, double defaultValue);

// Texts are cut to fit with their terminator; a null default reads as "".
int getTxtPara(char (&paraName)[17], char (&text)[101], const char* defaultTxt);
int getLongTxtPara(char (&paraName)[17], char (&text)[256], const char* defaultTxt);
// len is the buffer's size in bytes; 0 or less is refused with NULL_PARAM.
int getTxtPara2(char (&paraName)[17], char* ptr, int len, const char* defaultTxt);
