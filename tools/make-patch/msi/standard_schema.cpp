#include "msi/standard_schema.h"

#include <map>
#include <sstream>

namespace makepatch {
namespace {

// One table a line: its name, then its columns as "Name:type", a key column
// marked with "*". Types as exported tables write them: s/S a string (upper
// case: nullable), l/L a localizable string, i/I an integer of 2 or 4 bytes,
// v/V a stream.
constexpr const char* kStandardTables[] = {
    "ActionText Action:s72* Description:L0 Template:L0",
    "AdminExecuteSequence Action:s72* Condition:S255 Sequence:I2",
    "AdminUISequence Action:s72* Condition:S255 Sequence:I2",
    "AdvtExecuteSequence Action:s72* Condition:S255 Sequence:I2",
    "AdvtUISequence Action:s72* Condition:S255 Sequence:I2",
    "AppId AppId:s38* RemoteServerName:S255 LocalService:S255 ServiceParameters:S255 DllSurrogate:S255 "
    "ActivateAtStorage:I2 RunAsInteractiveUser:I2",
    "AppSearch Property:s72* Signature_:s72*",
    "BBControl Billboard_:s50* BBControl:s50* Type:s50 X:i2 Y:i2 Width:i2 Height:i2 Attributes:I4 Text:L50",
    "Billboard Billboard:s50* Feature_:s38 Action:S50 Ordering:I2",
    "Binary Name:s72* Data:v0",
    "BindImage File_:s72* Path:S255",
    "CCPSearch Signature_:s72*",
    "CheckBox Property:s72* Value:S64",
    "Class CLSID:s38* Context:s32* Component_:s72* ProgId_Default:S255 Description:L255 AppId_:S38 "
    "FileTypeMask:S255 Icon_:S72 IconIndex:I2 DefInprocHandler:S32 Argument:S255 Feature_:s38 Attributes:I2",
    "ComboBox Property:s72* Order:i2* Value:s64 Text:L64",
    "CompLocator Signature_:s72* ComponentId:s38 Type:I2",
    "Complus Component_:s72* ExpType:I2*",
    "Component Component:s72* ComponentId:S38 Directory_:s72 Attributes:i2 Condition:S255 KeyPath:S72",
    "Condition Feature_:s38* Level:i2* Condition:S255",
    "Control Dialog_:s72* Control:s50* Type:s20 X:i2 Y:i2 Width:i2 Height:i2 Attributes:I4 Property:S72 "
    "Text:L0 Control_Next:S50 Help:L50",
    "ControlCondition Dialog_:s72* Control_:s50* Action:s50* Condition:s255*",
    "ControlEvent Dialog_:s72* Control_:s50* Event:s50* Argument:s255* Condition:S255* Ordering:I2",
    "CreateFolder Directory_:s72* Component_:s72*",
    "CustomAction Action:s72* Type:i2 Source:S72 Target:S255 ExtendedType:I4",
    "Dialog Dialog:s72* HCentering:i2 VCentering:i2 Width:i2 Height:i2 Attributes:I4 Title:L128 "
    "Control_First:s50 Control_Default:S50 Control_Cancel:S50",
    "Directory Directory:s72* Directory_Parent:S72 DefaultDir:l255",
    "DrLocator Signature_:s72* Parent:S72* Path:S255* Depth:I2",
    "DuplicateFile FileKey:s72* Component_:s72 File_:s72 DestName:L255 DestFolder:S72",
    "Environment Environment:s72* Name:l255 Value:L255 Component_:s72",
    "Error Error:i2* Message:L0",
    "EventMapping Dialog_:s72* Control_:s50* Event:s50* Attribute:s50",
    "Extension Extension:s255* Component_:s72* ProgId_:S255 MIME_:S64 Feature_:s38",
    "Feature Feature:s38* Feature_Parent:S38 Title:L64 Description:L255 Display:I2 Level:i2 Directory_:S72 "
    "Attributes:i2",
    "FeatureComponents Feature_:s38* Component_:s72*",
    "File File:s72* Component_:s72 FileName:l255 FileSize:i4 Version:S72 Language:S20 Attributes:I2 "
    "Sequence:i4",
    "FileSFPCatalog File_:s72* SFPCatalog_:s255*",
    "Font File_:s72* FontTitle:S128",
    "Icon Name:s72* Data:v0",
    "IniFile IniFile:s72* FileName:l255 DirProperty:S72 Section:l96 Key:l128 Value:l255 Action:i2 "
    "Component_:s72",
    "IniLocator Signature_:s72* FileName:s255 Section:s96 Key:s128 Field:I2 Type:I2",
    "InstallExecuteSequence Action:s72* Condition:S255 Sequence:I2",
    "InstallUISequence Action:s72* Condition:S255 Sequence:I2",
    "IsolatedComponent Component_Shared:s72* Component_Application:s72*",
    "LaunchCondition Condition:s255* Description:l255",
    "ListBox Property:s72* Order:i2* Value:s64 Text:L64",
    "ListView Property:s72* Order:i2* Value:s64 Text:L64 Binary_:S72",
    "LockPermissions LockObject:s72* Table:s32* Domain:S255* User:s255* Permission:I4",
    "Media DiskId:i2* LastSequence:i4 DiskPrompt:L64 Cabinet:S255 VolumeLabel:S32 Source:S72",
    "MIME ContentType:s64* Extension_:s255 CLSID:S38",
    "ModuleComponents Component:s72* ModuleID:s72* Language:i2*",
    "ModuleSignature ModuleID:s72* Language:i2* Version:s32",
    "MoveFile FileKey:s72* Component_:s72 SourceName:L255 DestName:L255 SourceFolder:S72 DestFolder:s72 "
    "Options:i2",
    "MsiAssembly Component_:s72* Feature_:s38 File_Manifest:S72 File_Application:S72 Attributes:I2",
    "MsiAssemblyName Component_:s72* Name:s255* Value:s255",
    "MsiDigitalCertificate DigitalCertificate:s72* CertData:v0",
    "MsiDigitalSignature Table:s32* SignObject:s72* DigitalCertificate_:s72 Hash:V0",
    "MsiEmbeddedChainer MsiEmbeddedChainer:s72* Condition:S255 CommandLine:S255 Source:s72 Type:I2",
    "MsiEmbeddedUI MsiEmbeddedUI:s72* FileName:s72 Attributes:i2 MessageFilter:I4 Data:V0",
    "MsiFileHash File_:s72* Options:i2 HashPart1:i4 HashPart2:i4 HashPart3:i4 HashPart4:i4",
    "MsiLockPermissionsEx MsiLockPermissionsEx:s72* LockObject:s72 Table:s32 SDDLText:s0 Condition:S255",
    "MsiPackageCertificate PackageCertificate:s72* DigitalCertificate_:s72",
    "MsiPatchCertificate PatchCertificate:s72* DigitalCertificate_:s72",
    "MsiPatchHeaders StreamRef:s38* Header:v0",
    "MsiPatchMetadata Company:S72* Property:s72* Value:l0",
    "MsiPatchOldAssemblyFile File_:s72* Assembly_:S72*",
    "MsiPatchOldAssemblyName Assembly:s72* Name:s255* Value:S255",
    "MsiPatchSequence PatchFamily:s72* ProductCode:S38* Sequence:s72 Attributes:I2",
    "MsiServiceConfig MsiServiceConfig:s72* Name:s255 Event:i2 ConfigType:i4 Argument:S0 Component_:s72",
    "MsiServiceConfigFailureActions MsiServiceConfigFailureActions:s72* Name:s255 Event:i2 ResetPeriod:I4 "
    "RebootMessage:L255 Command:L255 Actions:S255 DelayActions:S255 Component_:s72",
    "MsiShortcutProperty MsiShortcutProperty:s72* Shortcut_:s72 PropertyKey:s0 PropVariantValue:s0",
    "ODBCAttribute Driver_:s72* Attribute:s40* Value:L255",
    "ODBCDataSource DataSource:s72* Component_:s72 Description:s255 DriverDescription:s255 Registration:i2",
    "ODBCDriver Driver:s72* Component_:s72 Description:s255 File_:s72 File_Setup:S72",
    "ODBCSourceAttribute DataSource_:s72* Attribute:s32* Value:L255",
    "ODBCTranslator Translator:s72* Component_:s72 Description:s255 File_:s72 File_Setup:S72",
    "Patch File_:s72* Sequence:i4* PatchSize:i4 Attributes:i2 Header:V0 StreamRef_:S38",
    "PatchPackage PatchId:s38* Media_:i2",
    "ProgId ProgId:s255* ProgId_Parent:S255 Class_:S38 Description:L255 Icon_:S72 IconIndex:I2",
    "Property Property:s72* Value:l0",
    "PublishComponent ComponentId:s38* Qualifier:s255* Component_:s72* AppData:L255 Feature_:s38",
    "RadioButton Property:s72* Order:i2* Value:s64 X:i2 Y:i2 Width:i2 Height:i2 Text:L64 Help:L50",
    "Registry Registry:s72* Root:i2 Key:l255 Name:L255 Value:L0 Component_:s72",
    "RegLocator Signature_:s72* Root:i2 Key:s255 Name:S255 Type:I2",
    "RemoveFile FileKey:s72* Component_:s72 FileName:L255 DirProperty:s72 InstallMode:i2",
    "RemoveIniFile RemoveIniFile:s72* FileName:l255 DirProperty:S72 Section:l96 Key:l128 Value:L255 Action:i2 "
    "Component_:s72",
    "RemoveRegistry RemoveRegistry:s72* Root:i2 Key:l255 Name:L255 Component_:s72",
    "ReserveCost ReserveKey:s72* Component_:s72 ReserveFolder:S72 ReserveLocal:i4 ReserveSource:i4",
    "SelfReg File_:s72* Cost:I2",
    "ServiceControl ServiceControl:s72* Name:l255 Event:i2 Arguments:L255 Wait:I2 Component_:s72",
    "ServiceInstall ServiceInstall:s72* Name:s255 DisplayName:L255 ServiceType:i4 StartType:i4 "
    "ErrorControl:i4 LoadOrderGroup:S255 Dependencies:S255 StartName:S255 Password:S255 Arguments:S255 "
    "Component_:s72 Description:L255",
    "SFPCatalog SFPCatalog:s255* Catalog:v0 Dependency:S0",
    "Shortcut Shortcut:s72* Directory_:s72 Name:l128 Component_:s72 Target:s72 Arguments:S255 "
    "Description:L255 Hotkey:I2 Icon_:S72 IconIndex:I2 ShowCmd:I2 WkDir:S72 DisplayResourceDLL:S255 "
    "DisplayResourceId:I4 DescriptionResourceDLL:S255 DescriptionResourceId:I4",
    "Signature Signature:s72* FileName:s255 MinVersion:S20 MaxVersion:S20 MinSize:I4 MaxSize:I4 MinDate:I4 "
    "MaxDate:I4 Languages:S255",
    "TextStyle TextStyle:s72* FaceName:s32 Size:i2 Color:I4 StyleBits:I2",
    "TypeLib LibID:s38* Language:i2* Component_:s72* Version:I4 Description:L128 Directory_:S72 Feature_:s38 "
    "Cost:I4",
    "UIText Key:s72* Text:L255",
    "Upgrade UpgradeCode:s38* VersionMin:S20* VersionMax:S20* Language:S255* Attributes:i4* Remove:S255 "
    "ActionProperty:s72",
    "Verb Extension_:s255* Verb:s32* Sequence:I2 Command:L255 Argument:L255",
    "_Validation Table:s32* Column:s32* Nullable:s4 MinValue:I4 MaxValue:I4 KeyTable:S255 KeyColumn:I2 "
    "Category:S32 Set:S255 Description:S255",
};

std::map<std::string, std::vector<Column>> Parse() {
  std::map<std::string, std::vector<Column>> tables;
  for (const char* line : kStandardTables) {
    std::istringstream in(line);
    std::string table, field;
    in >> table;
    std::vector<Column>& columns = tables[table];
    while (in >> field) {
      const auto colon = field.find(':');
      std::string type = field.substr(colon + 1);
      const bool key = !type.empty() && type.back() == '*';
      if (key) type.pop_back();
      columns.push_back({field.substr(0, colon),
                         static_cast<std::uint16_t>(*ColumnTypeFromText(type) | (key ? kColumnKey : 0))});
    }
  }
  return tables;
}

}  // namespace

std::optional<std::uint16_t> ColumnTypeFromText(const std::string& text) {
  if (text.size() < 2) return std::nullopt;
  const char kind = text[0];
  int size = 0;
  for (std::size_t i = 1; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9' || size > 255) return std::nullopt;
    size = size * 10 + (text[i] - '0');
  }
  if (size > 255) return std::nullopt;
  const bool nullable = kind >= 'A' && kind <= 'Z';
  std::uint16_t type = nullable ? kColumnNullable : 0;
  switch (kind | 0x20) {
    case 's': type |= kColumnString | kColumnNotBinary | kColumnValid | size; break;
    case 'l': type |= kColumnString | kColumnNotBinary | kColumnValid | kColumnLocalizable | size; break;
    case 'v': type |= kColumnString | kColumnValid; break;
    case 'i':
      // As _Columns stores them: 2-byte integers carry the "not binary" bit,
      // 4-byte ones do not.
      if (size == 2) type |= kColumnNotBinary | kColumnValid | 2;
      else if (size == 4) type |= kColumnValid | 4;
      else return std::nullopt;
      break;
    default: return std::nullopt;
  }
  return type;
}

std::optional<std::vector<Column>> StandardColumns(const std::string& table) {
  static const std::map<std::string, std::vector<Column>> tables = Parse();
  const auto found = tables.find(table);
  if (found == tables.end()) return std::nullopt;
  return found->second;
}

}  // namespace makepatch
