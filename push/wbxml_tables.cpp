// The token tables of the push and settings document types.
#include "push/wbxml.h"

#include "runtime/text_helpers.h"

namespace {
// Service indication.
constexpr WbxmlTag kSiTags[] = {{0, 0x05, "si"}, {0, 0x06, "indication"}, {0, 0x07, "info"}, {0, 0x08, "item"}};
constexpr WbxmlAttribute kSiAttributes[] = {
    {0, 0x05, "action", "signal-none"}, {0, 0x06, "action", "signal-low"}, {0, 0x07, "action", "signal-medium"},
    {0, 0x08, "action", "signal-high"}, {0, 0x09, "action", "delete"},     {0, 0x0A, "created", ""},
    {0, 0x0B, "href", ""},              {0, 0x0C, "href", "http://"},      {0, 0x0D, "href", "http://www."},
    {0, 0x0E, "href", "https://"},      {0, 0x0F, "href", "https://www."}, {0, 0x10, "si-expires", ""},
    {0, 0x11, "si-id", ""},             {0, 0x12, "class", ""}};
constexpr WbxmlValue kWebValues[] = {{0, 0x85, ".com/"}, {0, 0x86, ".edu/"}, {0, 0x87, ".net/"}, {0, 0x88, ".org/"}};
constexpr const char* kSiDates[] = {"created", "si-expires"};

// Service loading.
constexpr WbxmlTag kSlTags[] = {{0, 0x05, "sl"}};
constexpr WbxmlAttribute kSlAttributes[] = {
    {0, 0x05, "action", "execute-low"}, {0, 0x06, "action", "execute-high"}, {0, 0x07, "action", "cache"},
    {0, 0x08, "href", ""},              {0, 0x09, "href", "http://"},        {0, 0x0A, "href", "http://www."},
    {0, 0x0B, "href", "https://"},      {0, 0x0C, "href", "https://www."}};

// Cache operation.
constexpr WbxmlTag kCoTags[] = {{0, 0x05, "co"}, {0, 0x06, "invalidate-object"}, {0, 0x07, "invalidate-service"}};
constexpr WbxmlAttribute kCoAttributes[] = {{0, 0x05, "uri", ""},
                                            {0, 0x06, "uri", "http://"},
                                            {0, 0x07, "uri", "http://www."},
                                            {0, 0x08, "uri", "https://"},
                                            {0, 0x09, "uri", "https://www."}};

// E-mail notification.
constexpr WbxmlTag kEmnTags[] = {{0, 0x05, "emn"}};
constexpr WbxmlAttribute kEmnAttributes[] = {
    {0, 0x05, "timestamp", ""},           {0, 0x06, "mailbox", ""},           {0, 0x07, "mailbox", "mailat:"},
    {0, 0x08, "mailbox", "pop://"},       {0, 0x09, "mailbox", "imap://"},    {0, 0x0A, "mailbox", "http://"},
    {0, 0x0B, "mailbox", "http://www."},  {0, 0x0C, "mailbox", "https://"},   {0, 0x0D, "mailbox", "https://www."}};
constexpr WbxmlValue kEmnValues[] = {{0, 0x85, ".com"}, {0, 0x86, ".edu"}, {0, 0x87, ".net"}, {0, 0x88, ".org"}};
constexpr const char* kEmnDates[] = {"timestamp"};

// Client provisioning; page 1 holds the application characteristics.
constexpr WbxmlTag kProvTags[] = {{0, 0x05, "wap-provisioningdoc"}, {0, 0x06, "characteristic"}, {0, 0x07, "parm"},
                                  {1, 0x06, "characteristic"},      {1, 0x07, "parm"}};
constexpr WbxmlAttribute kProvAttributes[] = {
    {0, 0x05, "name", ""}, {0, 0x06, "value", ""}, {0, 0x07, "name", "NAME"}, {0, 0x08, "name", "NAP-ADDRESS"},
    {0, 0x09, "name", "NAP-ADDRTYPE"}, {0, 0x0A, "name", "CALLTYPE"}, {0, 0x0B, "name", "VALIDUNTIL"},
    {0, 0x0C, "name", "AUTHTYPE"}, {0, 0x0D, "name", "AUTHNAME"}, {0, 0x0E, "name", "AUTHSECRET"},
    {0, 0x0F, "name", "LINGER"}, {0, 0x10, "name", "BEARER"}, {0, 0x11, "name", "NAPID"},
    {0, 0x12, "name", "COUNTRY"}, {0, 0x13, "name", "NETWORK"}, {0, 0x14, "name", "INTERNET"},
    {0, 0x15, "name", "PROXY-ID"}, {0, 0x16, "name", "PROXY-PROVIDER-ID"}, {0, 0x17, "name", "DOMAIN"},
    {0, 0x18, "name", "PROVURL"}, {0, 0x19, "name", "PXAUTH-TYPE"}, {0, 0x1A, "name", "PXAUTH-ID"},
    {0, 0x1B, "name", "PXAUTH-PW"}, {0, 0x1C, "name", "STARTPAGE"}, {0, 0x1D, "name", "BASAUTH-ID"},
    {0, 0x1E, "name", "BASAUTH-PW"}, {0, 0x1F, "name", "PUSHENABLED"}, {0, 0x20, "name", "PXADDR"},
    {0, 0x21, "name", "PXADDRTYPE"}, {0, 0x22, "name", "TO-NAPID"}, {0, 0x23, "name", "PORTNBR"},
    {0, 0x24, "name", "SERVICE"}, {0, 0x25, "name", "LINKSPEED"}, {0, 0x26, "name", "DNLINKSPEED"},
    {0, 0x27, "name", "LOCAL-ADDR"}, {0, 0x28, "name", "LOCAL-ADDRTYPE"}, {0, 0x29, "name", "CONTEXT-ALLOW"},
    {0, 0x2A, "name", "TRUST"}, {0, 0x2B, "name", "MASTER"}, {0, 0x2C, "name", "SID"}, {0, 0x2D, "name", "SOC"},
    {0, 0x2E, "name", "WSP-VERSION"}, {0, 0x2F, "name", "PHYSICAL-PROXY-ID"}, {0, 0x30, "name", "CLIENT-ID"},
    {0, 0x31, "name", "DELIVERY-ERR-SDU"}, {0, 0x32, "name", "DELIVERY-ORDER"}, {0, 0x33, "name", "TRAFFIC-CLASS"},
    {0, 0x34, "name", "MAX-SDU-SIZE"}, {0, 0x35, "name", "MAX-BITRATE-UPLINK"},
    {0, 0x36, "name", "MAX-BITRATE-DNLINK"}, {0, 0x37, "name", "RESIDUAL-BER"},
    {0, 0x38, "name", "SDU-ERROR-RATIO"}, {0, 0x39, "name", "TRAFFIC-HANDL-PRIO"},
    {0, 0x3A, "name", "TRANSFER-DELAY"}, {0, 0x3B, "name", "GUARANTEED-BITRATE-UPLINK"},
    {0, 0x3C, "name", "GUARANTEED-BITRATE-DNLINK"}, {0, 0x3D, "name", "PXADDR-FQDN"},
    {0, 0x3E, "name", "PROXY-PW"}, {0, 0x3F, "name", "PPGAUTH-TYPE"}, {0, 0x45, "version", ""},
    {0, 0x46, "version", "1.0"}, {0, 0x47, "name", "PULLENABLED"}, {0, 0x48, "name", "DNS-ADDR"},
    {0, 0x49, "name", "MAX-NUM-RETRY"}, {0, 0x4A, "name", "FIRST-RETRY-TIMEOUT"},
    {0, 0x4B, "name", "REREG-THRESHOLD"}, {0, 0x4C, "name", "T-BIT"}, {0, 0x4E, "name", "AUTH-ENTITY"},
    {0, 0x4F, "name", "SPI"}, {0, 0x50, "type", ""}, {0, 0x51, "type", "PXLOGICAL"},
    {0, 0x52, "type", "PXPHYSICAL"}, {0, 0x53, "type", "PORT"}, {0, 0x54, "type", "VALIDITY"},
    {0, 0x55, "type", "NAPDEF"}, {0, 0x56, "type", "BOOTSTRAP"}, {0, 0x57, "type", "VENDORCONFIG"},
    {0, 0x58, "type", "CLIENTIDENTITY"}, {0, 0x59, "type", "PXAUTHINFO"}, {0, 0x5A, "type", "NAPAUTHINFO"},
    {0, 0x5B, "type", "ACCESS"},
    {1, 0x05, "name", ""}, {1, 0x06, "value", ""}, {1, 0x07, "name", "NAME"}, {1, 0x14, "name", "INTERNET"},
    {1, 0x1C, "name", "STARTPAGE"}, {1, 0x22, "name", "TO-NAPID"}, {1, 0x23, "name", "PORTNBR"},
    {1, 0x24, "name", "SERVICE"}, {1, 0x2E, "name", "AACCEPT"}, {1, 0x2F, "name", "AAUTHDATA"},
    {1, 0x30, "name", "AAUTHLEVEL"}, {1, 0x31, "name", "AAUTHNAME"}, {1, 0x32, "name", "AAUTHSECRET"},
    {1, 0x33, "name", "AAUTHTYPE"}, {1, 0x34, "name", "ADDR"}, {1, 0x35, "name", "ADDRTYPE"},
    {1, 0x36, "name", "APPID"}, {1, 0x37, "name", "APROTOCOL"}, {1, 0x38, "name", "PROVIDER-ID"},
    {1, 0x39, "name", "TO-PROXY"}, {1, 0x3A, "name", "URI"}, {1, 0x3B, "name", "RULE"}, {1, 0x50, "type", ""},
    {1, 0x53, "type", "PORT"}, {1, 0x55, "type", "APPLICATION"}, {1, 0x56, "type", "APPADDR"},
    {1, 0x57, "type", "APPAUTH"}, {1, 0x58, "type", "CLIENTIDENTITY"}, {1, 0x59, "type", "RESOURCE"}};
constexpr WbxmlValue kProvValues[] = {
    {0, 0x85, "IPV4"}, {0, 0x86, "IPV6"}, {0, 0x87, "E164"}, {0, 0x88, "ALPHA"}, {0, 0x89, "APN"},
    {0, 0x8A, "SCODE"}, {0, 0x8B, "TETRA-ITSI"}, {0, 0x8C, "MAN"}, {0, 0x90, "ANALOG-MODEM"}, {0, 0x91, "V.120"},
    {0, 0x92, "V.110"}, {0, 0x93, "X.31"}, {0, 0x94, "BIT-TRANSPARENT"},
    {0, 0x95, "DIRECT-ASYNCHRONOUS-DATA-SERVICE"}, {0, 0x9A, "PAP"}, {0, 0x9B, "CHAP"}, {0, 0x9C, "HTTP-BASIC"},
    {0, 0x9D, "HTTP-DIGEST"}, {0, 0x9E, "WTLS-SS"}, {0, 0x9F, "MD5"}, {0, 0xA2, "GSM-USSD"}, {0, 0xA3, "GSM-SMS"},
    {0, 0xA4, "ANSI-136-GUTS"}, {0, 0xA5, "IS-95-CDMA-SMS"}, {0, 0xA6, "IS-95-CDMA-CSD"},
    {0, 0xA7, "IS-95-CDMA-PACKET"}, {0, 0xA8, "ANSI-136-CSD"}, {0, 0xA9, "ANSI-136-GPRS"}, {0, 0xAA, "GSM-CSD"},
    {0, 0xAB, "GSM-GPRS"}, {0, 0xAC, "AMPS-CDPD"}, {0, 0xAD, "PDC-CSD"}, {0, 0xAE, "PDC-PACKET"},
    {0, 0xAF, "IDEN-SMS"}, {0, 0xB0, "IDEN-CSD"}, {0, 0xB1, "IDEN-PACKET"}, {0, 0xB2, "FLEX/REFLEX"},
    {0, 0xB3, "PHS-SMS"}, {0, 0xB4, "PHS-CSD"}, {0, 0xB5, "TETRA-SDS"}, {0, 0xB6, "TETRA-PACKET"},
    {0, 0xB7, "ANSI-136-GHOST"}, {0, 0xB8, "MOBITEX-MPAK"}, {0, 0xC5, "AUTOBAUDING"}, {0, 0xCA, "CL-WSP"},
    {0, 0xCB, "CO-WSP"}, {0, 0xCC, "CL-SEC-WSP"}, {0, 0xCD, "CO-SEC-WSP"}, {0, 0xCE, "CL-SEC-WTA"},
    {0, 0xCF, "CO-SEC-WTA"}, {0, 0xD0, "OTA-HTTP-TO"}, {0, 0xD1, "OTA-HTTP-TLS-TO"}, {0, 0xD2, "OTA-HTTP-PO"},
    {0, 0xD3, "OTA-HTTP-TLS-PO"}, {1, 0x86, "IPV6"}, {1, 0x87, "E164"}, {1, 0x88, "ALPHA"},
    {1, 0x8D, "APPSRV"}, {1, 0x8E, "OBEX"}};

// Rights expression.
constexpr WbxmlTag kDrmTags[] = {
    {0, 0x05, "o-ex:rights"},    {0, 0x06, "o-ex:context"},   {0, 0x07, "o-dd:version"}, {0, 0x08, "o-dd:uid"},
    {0, 0x09, "o-ex:agreement"}, {0, 0x0A, "o-ex:asset"},     {0, 0x0B, "ds:KeyInfo"},   {0, 0x0C, "ds:KeyValue"},
    {0, 0x0D, "o-ex:permission"}, {0, 0x0E, "o-dd:play"},     {0, 0x0F, "o-dd:display"}, {0, 0x10, "o-dd:execute"},
    {0, 0x11, "o-dd:print"},     {0, 0x12, "o-ex:constraint"}, {0, 0x13, "o-dd:count"},  {0, 0x14, "o-dd:datetime"},
    {0, 0x15, "o-dd:start"},     {0, 0x16, "o-dd:end"},       {0, 0x17, "o-dd:interval"}};
constexpr WbxmlAttribute kDrmAttributes[] = {{0, 0x05, "xmlns:o-ex", ""},
                                             {0, 0x06, "xmlns:o-dd", ""},
                                             {0, 0x07, "xmlns:ds", ""}};
constexpr WbxmlValue kDrmValues[] = {{0, 0x85, "http://odrl.net/1.1/ODRL-EX"},
                                     {0, 0x86, "http://odrl.net/1.1/ODRL-DD"},
                                     {0, 0x87, "http://www.w3.org/2000/09/xmldsig#/"}};

// Rights object acquisition trigger (public identifier 0x13, "-//OMA/DRM 2.1//EN"): the
// tags, attribute names and values handsets decode it with.
constexpr WbxmlTag kRoapTags[] = {
    {0, 0x05, "roap:roapTrigger"},  {0, 0x06, "registrationRequest"},   {0, 0x07, "roAcquisition"},
    {0, 0x08, "joinDomain"},        {0, 0x09, "leaveDomain"},           {0, 0x0A, "signature"},
    {0, 0x0B, "encKey"},            {0, 0x0C, "riID"},                  {0, 0x0D, "riAlias"},
    {0, 0x0E, "nonce"},             {0, 0x0F, "roapURL"},               {0, 0x10, "domainID"},
    {0, 0x11, "domainAlias"},       {0, 0x12, "roap:domainID"},         {0, 0x13, "roID"},
    {0, 0x14, "roAlias"},           {0, 0x15, "contentID"},             {0, 0x16, "roap:X509SPKIHash"},
    {0, 0x17, "keyIdentifier"},     {0, 0x18, "hash"},                  {0, 0x19, "ds:SignedInfo"},
    {0, 0x1A, "ds:SignatureValue"}, {0, 0x1B, "ds:KeyInfo"},            {0, 0x1C, "ds:CanonicalizationMethod"},
    {0, 0x1D, "ds:SignatureMethod"}, {0, 0x1E, "ds:Reference"},         {0, 0x1F, "ds:RetrievalMethod"},
    {0, 0x20, "ds:Transforms"},     {0, 0x21, "ds:DigestMethod"},       {0, 0x22, "ds:DigestValue"},
    {0, 0x23, "ds:Transform"},      {0, 0x24, "xenc:EncryptionMethod"}, {0, 0x25, "xenc:CipherData"},
    {0, 0x26, "xenc:CipherValue"},  {0, 0x27, "extendedTrigger"},       {0, 0x28, "trgLeaveDomain"},
    {0, 0x29, "deviceID"}};
constexpr WbxmlAttribute kRoapAttributes[] = {
    {0, 0x05, "xsi:type", ""},   {0, 0x06, "xmlns:roap", ""}, {0, 0x07, "xmlns:xsi", ""}, {0, 0x08, "xmlns:xenc", ""},
    {0, 0x09, "xmlns:ds", ""},   {0, 0x0A, "xmlns:o-ex", ""}, {0, 0x0B, "xmlns:o-dd", ""}, {0, 0x0C, "xmlns:oma-dd", ""},
    {0, 0x0D, "version", ""},    {0, 0x0E, "proxy", ""},      {0, 0x0F, "id", ""},         {0, 0x10, "Id", ""},
    {0, 0x11, "algorithm", ""},  {0, 0x12, "Algorithm", ""},  {0, 0x13, "URI", ""},        {0, 0x14, "type", ""}};
constexpr WbxmlValue kRoapValues[] = {{0, 0x85, "urn:oma:bac:dldrm:roap-1.0"},
                                      {0, 0x86, "http://odrl.net/1.1/ODRL-EX"},
                                      {0, 0x87, "http://odrl.net/1.1/ODRL-DD"},
                                      {0, 0x88, "http://www.openmobilealliance.com/oma-dd"},
                                      {0, 0x89, "http://www.w3.org/2000/09/xmldsig#"},
                                      {0, 0x8A, "http://www.w3.org/2001/04/xmlenc#"},
                                      {0, 0x8B, "http://www.w3.org/2001/XMLSchema-instance"},
                                      {0, 0x8C, "roap:X509SPKIHash"},
                                      {0, 0x8D, "http://www.w3.org/2000/09/xmldsig#sha1"},
                                      {0, 0x8E, "http://www.w3.org/2001/10/xml-exc-c14n#"},
                                      {0, 0x8F, "http://www.w3.org/2000/09/xmldsig#hmac-sha1"},
                                      {0, 0x90, "1.1"},
                                      {0, 0x91, "2.0"},
                                      {0, 0x92, "2.1"},
                                      {0, 0x93, "identificationRequest"},
                                      {0, 0x94, "roUploadRequest"},
                                      {0, 0x95, "meteringReport"},
                                      {0, 0x96, "leaveDomain"}};

// SyncML with its meta information page.
constexpr WbxmlTag kSyncMlTags[] = {
    {0, 0x05, "Add"}, {0, 0x06, "Alert"}, {0, 0x07, "Archive"}, {0, 0x08, "Atomic"}, {0, 0x09, "Chal"},
    {0, 0x0A, "Cmd"}, {0, 0x0B, "CmdID"}, {0, 0x0C, "CmdRef"}, {0, 0x0D, "Copy"}, {0, 0x0E, "Cred"},
    {0, 0x0F, "Data"}, {0, 0x10, "Delete"}, {0, 0x11, "Exec"}, {0, 0x12, "Final"}, {0, 0x13, "Get"},
    {0, 0x14, "Item"}, {0, 0x15, "Lang"}, {0, 0x16, "LocName"}, {0, 0x17, "LocURI"}, {0, 0x18, "Map"},
    {0, 0x19, "MapItem"}, {0, 0x1A, "Meta"}, {0, 0x1B, "MsgID"}, {0, 0x1C, "MsgRef"}, {0, 0x1D, "NoResp"},
    {0, 0x1E, "NoResults"}, {0, 0x1F, "Put"}, {0, 0x20, "Replace"}, {0, 0x21, "RespURI"}, {0, 0x22, "Results"},
    {0, 0x23, "Search"}, {0, 0x24, "Sequence"}, {0, 0x25, "SessionID"}, {0, 0x26, "SftDel"}, {0, 0x27, "Source"},
    {0, 0x28, "SourceRef"}, {0, 0x29, "Status"}, {0, 0x2A, "Sync"}, {0, 0x2B, "SyncBody"}, {0, 0x2C, "SyncHdr"},
    {0, 0x2D, "SyncML"}, {0, 0x2E, "Target"}, {0, 0x2F, "TargetRef"}, {0, 0x31, "VerDTD"}, {0, 0x32, "VerProto"},
    {0, 0x33, "NumberOfChanges"}, {0, 0x34, "MoreData"}, {0, 0x35, "Field"}, {0, 0x36, "Filter"},
    {0, 0x37, "Record"}, {0, 0x38, "FilterType"}, {0, 0x39, "SourceParent"}, {0, 0x3A, "TargetParent"},
    {0, 0x3B, "Move"}, {0, 0x3C, "Correlator"},
    {1, 0x05, "Anchor"}, {1, 0x06, "EMI"}, {1, 0x07, "Format"}, {1, 0x08, "FreeID"}, {1, 0x09, "FreeMem"},
    {1, 0x0A, "Last"}, {1, 0x0B, "Mark"}, {1, 0x0C, "MaxMsgSize"}, {1, 0x0D, "Mem"}, {1, 0x0E, "MetInf"},
    {1, 0x0F, "Next"}, {1, 0x10, "NextNonce"}, {1, 0x11, "SharedMem"}, {1, 0x12, "Size"}, {1, 0x13, "Type"},
    {1, 0x14, "Version"}, {1, 0x15, "MaxObjSize"}, {1, 0x16, "FieldLevel"}};

// Browser settings and bookmarks (CHARACTERISTIC-LIST).
constexpr WbxmlTag kOtaTags[] = {{0, 0x05, "CHARACTERISTIC-LIST"}, {0, 0x06, "CHARACTERISTIC"}, {0, 0x07, "PARM"}};
constexpr WbxmlAttribute kOtaAttributes[] = {
    {0, 0x06, "TYPE", "ADDRESS"}, {0, 0x07, "TYPE", "URL"}, {0, 0x08, "TYPE", "NAME"}, {0, 0x10, "NAME", ""},
    {0, 0x11, "VALUE", ""}, {0, 0x12, "NAME", "BEARER"}, {0, 0x13, "NAME", "PROXY"}, {0, 0x14, "NAME", "PORT"},
    {0, 0x15, "NAME", "NAME"}, {0, 0x16, "NAME", "PROXY_TYPE"}, {0, 0x17, "NAME", "URL"},
    {0, 0x18, "NAME", "PROXY_AUTHNAME"}, {0, 0x19, "NAME", "PROXY_AUTHSECRET"},
    {0, 0x1A, "NAME", "SMS_SMSC_ADDRESS"}, {0, 0x1B, "NAME", "USSD_SERVICE_CODE"},
    {0, 0x1C, "NAME", "GPRS_ACCESSPOINTNAME"}, {0, 0x1D, "NAME", "PPP_LOGINTYPE"},
    {0, 0x1E, "NAME", "PROXY_LOGINTYPE"}, {0, 0x21, "NAME", "CSD_DIALSTRING"}, {0, 0x22, "NAME", "PPP_AUTHTYPE"},
    {0, 0x23, "NAME", "PPP_AUTHNAME"}, {0, 0x24, "NAME", "PPP_AUTHSECRET"}, {0, 0x28, "NAME", "CSD_CALLTYPE"},
    {0, 0x29, "NAME", "CSD_CALLSPEED"}, {0, 0x45, "VALUE", "GSM/CSD"}, {0, 0x46, "VALUE", "GSM/SMS"},
    {0, 0x47, "VALUE", "GSM/USSD"}, {0, 0x48, "VALUE", "IS-136/CSD"}, {0, 0x49, "VALUE", "GPRS"},
    {0, 0x60, "VALUE", "9200"}, {0, 0x61, "VALUE", "9201"}, {0, 0x62, "VALUE", "9202"}, {0, 0x63, "VALUE", "9203"},
    {0, 0x64, "VALUE", "AUTOMATIC"}, {0, 0x65, "VALUE", "MANUAL"}, {0, 0x6A, "VALUE", "AUTO"},
    {0, 0x6B, "VALUE", "9600"}, {0, 0x6C, "VALUE", "14400"}, {0, 0x6D, "VALUE", "19200"},
    {0, 0x6E, "VALUE", "28800"}, {0, 0x6F, "VALUE", "38400"}, {0, 0x70, "VALUE", "PAP"}, {0, 0x71, "VALUE", "CHAP"},
    {0, 0x72, "VALUE", "ANALOGUE"}, {0, 0x73, "VALUE", "ISDN"}, {0, 0x74, "VALUE", "43200"},
    {0, 0x75, "VALUE", "57600"}, {0, 0x76, "VALUE", "MSISDN_NO"}, {0, 0x77, "VALUE", "IPV4"},
    {0, 0x78, "VALUE", "MS_CHAP"}, {0, 0x7C, "TYPE", "MMSURL"}, {0, 0x7D, "TYPE", "ID"},
    {0, 0x7E, "NAME", "ISP_NAME"}, {0, 0x7F, "TYPE", "BOOKMARK"}};

// Synchronisation settings: tags in alphabetical order from 0x05.
constexpr WbxmlTag kSyncSettingsTags[] = {
    {0, 0x05, "Addr"},     {0, 0x06, "AddrType"}, {0, 0x07, "Auth"},    {0, 0x08, "AuthLevel"}, {0, 0x09, "AuthScheme"},
    {0, 0x0A, "Bearer"},   {0, 0x0B, "ConRef"},   {0, 0x0C, "ConType"}, {0, 0x0D, "Cred"},      {0, 0x0E, "CTType"},
    {0, 0x0F, "CTVer"},    {0, 0x10, "HostAddr"}, {0, 0x11, "Name"},    {0, 0x12, "Port"},      {0, 0x13, "RefID"},
    {0, 0x14, "RemoteDB"}, {0, 0x15, "SyncSettings"}, {0, 0x16, "URI"}, {0, 0x17, "Username"},  {0, 0x18, "Version"}};

// Instant-messaging settings: tags in alphabetical order from 0x05, as the settings format lists them.
constexpr WbxmlTag kWvSettingsTags[] = {
    {0, 0x05, "WVCommon"},       {0, 0x06, "WVHTTP"},
    {0, 0x07, "WVOTAVersion"},   {0, 0x08, "WVPassword"},
    {0, 0x09, "WVPreferredProtocol"}, {0, 0x0A, "WVProxy"},
    {0, 0x0B, "WVProxyAddress"}, {0, 0x0C, "WVProxyPassword"},
    {0, 0x0D, "WVProxyPort"},    {0, 0x0E, "WVProxyUser"},
    {0, 0x0F, "WVRefName"},      {0, 0x10, "WVSAPFourWaySupported"},
    {0, 0x11, "WVSAPMobileNumber"}, {0, 0x12, "WVSAPURI"},
    {0, 0x13, "WVSettings"},     {0, 0x14, "WVSettingsName"},
    {0, 0x15, "WVSMS"},          {0, 0x16, "WVSMSCMobileNumber"},
    {0, 0x17, "WVSupportedVersion"}, {0, 0x18, "WVUserID"}};

constexpr WbxmlLanguage kLanguages[] = {
    {"si", 0x05, kSiTags, kSiAttributes, kWebValues, kSiDates, nullptr, false},
    {"sl", 0x06, kSlTags, kSlAttributes, kWebValues, {}, nullptr, false},
    {"co", 0x07, kCoTags, kCoAttributes, kWebValues, {}, nullptr, false},
    {"wap-provisioningdoc", 0x0B, kProvTags, kProvAttributes, kProvValues, {}, nullptr, false},
    {"o-ex:rights", 0x0E, kDrmTags, kDrmAttributes, kDrmValues, {}, "ds:KeyValue", false},
    {"roap:roapTrigger", 0x13, kRoapTags, kRoapAttributes, kRoapValues, {}, nullptr, false},
    {"emn", 0x0D, kEmnTags, kEmnAttributes, kEmnValues, kEmnDates, nullptr, false},
    {"SyncML", 0x1201, kSyncMlTags, {}, {}, {}, nullptr, true},
    {"CHARACTERISTIC-LIST", 0x01, kOtaTags, kOtaAttributes, {}, {}, nullptr, false},
    {"SyncSettings", 0x01, kSyncSettingsTags, {}, {}, {}, nullptr, false},
    {"WVSettings", 0x01, kWvSettingsTags, {}, {}, {}, nullptr, false}};
constexpr const char* kLanguageNames[] = {"SI",     "SL",     "CO",  "PROV",         "DRMREL",    "ROAP",
                                          "EMN",    "SYNCML", "OTA", "SYNCSETTINGS", "WVSETTINGS"};
static_assert(std::size(kLanguageNames) == std::size(kLanguages));
}  // namespace

const WbxmlLanguage* WbxmlLanguageOf(std::string_view rootName) {
  if (rootName == "wap-provisioning") rootName = "wap-provisioningdoc";
  for (const WbxmlLanguage& l : kLanguages)
    if (rootName == l.root) return &l;
  return nullptr;
}

const WbxmlLanguage* WbxmlLanguageNamed(std::string_view name) {
  for (size_t i = 0; i < std::size(kLanguages); ++i)
    if (EqualsNoCase(name, kLanguageNames[i])) return &kLanguages[i];
  return nullptr;
}
