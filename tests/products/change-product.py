#!/usr/bin/python3
"""Builds the old or the new package of one kind of change between two
versions of a small Quorvel product, with msitools, for the tests of what
make-patch accepts, refuses and warns of.

    change-product.py KIND old|new OUTPUT
    change-product.py --kinds        lists the kinds

The old package is version 5.2.0.0, the new one 5.2.1.0; both have the
product code and upgrade code of their kind (no two kinds share them) and
install into Program Files\\Korvanta\\Quorvel <KIND>. What they hold, before
the kind changes it:

    feature Quorvel      component Main   quor.exe (key), registry values
                                          InstallDir, Channel ([QUORVEL_CHANNEL],
                                          property "stable") and Edition
                         component Data   quore.arx (key), notes.txt, registry
                                          value DataPath
    feature Extras       component Extra  extras.txt (key)
    (top level)

The new package differs from the old one in ProductVersion and in what its
kind changes, nothing else. Needs msitools (wixl, msibuild, msiinfo).
"""
import hashlib
import os
import subprocess
import sys
import tempfile
from xml.sax.saxutils import quoteattr

OLD_VERSION, NEW_VERSION = "5.2.0.0", "5.2.1.0"
FOLLOW_PARENT_AND_NO_ABSENT = 2 | 16  # msidbFeatureAttributesFollowParent, UIDisallowAbsent


def guid(*parts):
    digest = hashlib.md5("/".join(parts).encode()).hexdigest().upper()
    return "{%s-%s-%s-%s-%s}" % (digest[:8], digest[8:12], digest[12:16], digest[16:20], digest[20:32])


def base(kind):
    return {
        "properties": {"QUORVEL_CHANNEL": "stable"},
        "components": {
            "Main": {"feature": "Quorvel", "key": "quor.exe",
                     "files": {"quor.exe": b"MZ" + bytes(510)},
                     "registry": {"InstallDir": "[INSTALLDIR]", "Channel": "[QUORVEL_CHANNEL]",
                                  "Edition": "Standard"}},
            "Data": {"feature": "Quorvel", "key": "quore.arx",
                     "files": {"quore.arx": b"Quorvel add-in registry, first edition\r\n",
                               "notes.txt": b"Release notes of Quorvel\r\n"},
                     "registry": {"DataPath": "[INSTALLDIR]quore.arx"}},
            "Extra": {"feature": "Extras", "key": "extras.txt",
                      "files": {"extras.txt": b"Quorvel extras\r\n"}, "registry": {}},
        },
        # feature: (parent, attributes)
        "features": {"Quorvel": (None, 0), "Extras": (None, 0)},
        "remove_files": [],   # (key, component, file name, directory, install mode)
        "ini_files": [],      # (key, file name, section, key, value, component)
        "guids": {},          # component -> ComponentId other than the derived one
        "codepage": 1252,
        "script": None,       # (what it says, QuorvelSetting's Channel): see with_script
    }


def change_file(product, same_size):
    old = product["components"]["Data"]["files"]["quore.arx"]
    new = b"Quorvel add-in registry, second edition\r\n"
    product["components"]["Data"]["files"]["quore.arx"] = new[:len(old)] if same_size else new + b"(5.2.1)\r\n"


def add_file(product):
    product["components"]["Data"]["files"]["readme.txt"] = b"Read me first\r\n"


def add_component(product):
    product["components"]["Help"] = {"feature": "Quorvel", "key": "help.txt",
                                     "files": {"help.txt": b"Quorvel help\r\n"},
                                     "registry": {"HelpFile": "[INSTALLDIR]help.txt"}}


def add_feature(product, parent, attributes):
    product["features"]["Tools"] = (parent, attributes)
    product["components"]["Tools"] = {"feature": "Tools", "key": "tools.txt",
                                      "files": {"tools.txt": b"Quorvel tools\r\n"},
                                      "registry": {"ToolsPath": "[INSTALLDIR]tools.txt"}}


def change_registry(product):
    values = product["components"]["Main"]["registry"]
    values["Edition"] = "Professional"
    values["Updated"] = "5.2.1"


def remove_notes(product, with_remove_file):
    del product["components"]["Data"]["files"]["notes.txt"]
    if with_remove_file:
        product["remove_files"].append(("RemoveNotes", "Data", "notes.txt", "INSTALLDIR", 1))


def add_table(product):
    product["ini_files"].append(("QuorvelIni", "quorvel.ini", "Quorvel", "Channel", "[QUORVEL_CHANNEL]", "Main"))


def many_files(product, side):
    # 2,000 files in 20 components of the Data feature; the new package
    # changes 20 of them, one in each component.
    for c in range(20):
        files = {}
        for f in range(100):
            number = c * 100 + f
            text = f"Quorvel resource {number:04d}\r\n"
            if side == "new" and f == 7:
                text += "changed in 5.2.1\r\n"
            files[f"r{number:04d}.txt"] = text.encode()
        product["components"][f"Bulk{c:02d}"] = {"feature": "Quorvel", "key": f"r{c * 100:04d}.txt",
                                                 "files": files, "registry": {}}


def remove_component(product):
    del product["components"]["Data"]


def change_component_code(product):
    product["guids"]["Data"] = guid("another code of", "Data")


def change_key_path(product):
    product["components"]["Data"]["key"] = "notes.txt"


def move_feature(product):
    product["features"]["Extras"] = ("Quorvel", 0)


def with_script(product, says, channel):
    # What packages of other tools carry and wixl does not write: a Binary
    # stream (a VBScript custom action) that reads a custom table, described
    # in _Validation, into the registry value Setting.
    product["script"] = (says, channel)


# kind -> what one side holds (these kinds build both sides themselves)
SIDED = {
    "binary-changed": lambda p, side: with_script(p, "second" if side == "new" else "first", "stable"),
    "custom-table-changed": lambda p, side: with_script(p, "first", "beta" if side == "new" else "stable"),
    # The old package from a tool that writes the neutral code page.
    "codepage-neutral": lambda p, side: p.update(codepage=0) if side == "old" else change_registry(p),
}

# kind -> what the new package changes (many-files builds both sides itself)
KINDS = {
    "file-changed": lambda p: change_file(p, same_size=False),
    "file-same-size": lambda p: change_file(p, same_size=True),
    "file-added": add_file,
    "component-added": add_component,
    "child-feature-added": lambda p: add_feature(p, "Quorvel", FOLLOW_PARENT_AND_NO_ABSENT),
    "registry-changed": change_registry,
    "property-changed": lambda p: p["properties"].update(QUORVEL_CHANNEL="beta"),
    "file-removed": lambda p: remove_notes(p, with_remove_file=True),
    "table-added": add_table,
    "many-files": lambda p: None,
    "file-removed-unmarked": lambda p: remove_notes(p, with_remove_file=False),
    "component-removed": remove_component,
    "component-code-changed": change_component_code,
    "key-path-changed": change_key_path,
    "feature-moved": move_feature,
    "top-level-feature-added": lambda p: add_feature(p, None, FOLLOW_PARENT_AND_NO_ABSENT),
    **{kind: None for kind in SIDED},
}


def product_code(kind):
    return guid("Quorvel change product", kind)


def wix_source(kind, side, product):
    code = product_code(kind)
    folder = f"Quorvel {kind}"
    registry_key = quoteattr("Software\\Korvanta\\" + folder)
    lines = ['<?xml version="1.0" encoding="utf-8"?>',
             '<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">',
             f'<Product Id="{code}" Name={quoteattr("Quorvel " + kind)} Language="1033" Codepage="1252" '
             f'Version="{NEW_VERSION if side == "new" else OLD_VERSION}" Manufacturer="Korvanta" '
             f'UpgradeCode="{guid("Quorvel change upgrade", kind)}">',
             '<Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine" Languages="1033" '
             'Manufacturer="Korvanta"/>',
             '<Media Id="1" Cabinet="product.cab" EmbedCab="yes"/>']
    for name, value in product["properties"].items():
        lines.append(f'<Property Id="{name}" Value={quoteattr(value)}/>')
    lines += ['<Directory Id="TARGETDIR" Name="SourceDir"><Directory Id="ProgramFiles64Folder">',
              '<Directory Id="KORVANTADIR" Name="Korvanta">',
              f'<Directory Id="INSTALLDIR" Name={quoteattr(folder)}>']
    for component, details in product["components"].items():
        component_guid = product["guids"].get(component, guid(code, component))
        lines.append(f'<Component Id="{component}" Guid="{component_guid}" Win64="yes">')
        for name in details["files"]:
            key_path = ' KeyPath="yes"' if name == details["key"] else ""
            lines.append(f'<File Id="{name}" Name="{name}" Source="{name}"{key_path}/>')
        for name, value in details["registry"].items():
            lines.append(f'<RegistryValue Id="{component}_{name}" Root="HKLM" '
                         f'Key={registry_key} Name="{name}" '
                         f'Value={quoteattr(value)} Type="string"/>')
        lines.append('</Component>')
    lines.append('</Directory></Directory></Directory></Directory>')

    def feature(name):
        out = [f'<Feature Id="{name}" Title="{name}" Level="1">']
        out += [f'<ComponentRef Id="{c}"/>' for c, details in product["components"].items() if details["feature"] == name]
        for child, (parent, _) in product["features"].items():
            if parent == name:
                out += feature(child)
        return out + ['</Feature>']

    for name, (parent, _) in product["features"].items():
        if parent is None:
            lines += feature(name)
    lines += ['</Product>', '</Wix>']
    return "\n".join(lines) + "\n"


def idt(path, columns, types, table_and_keys, rows):
    with open(path, "w", newline="") as out:
        out.write("\t".join(columns) + "\r\n" + "\t".join(types) + "\r\n" + "\t".join(table_and_keys) + "\r\n")
        for row in rows:
            out.write("\t".join(str(value) for value in row) + "\r\n")


def build(kind, side, output):
    product = base(kind)
    if kind == "many-files":
        many_files(product, side)
    elif kind in SIDED:
        SIDED[kind](product, side)
    elif side == "new":
        KINDS[kind](product)
    with tempfile.TemporaryDirectory() as work:
        for details in product["components"].values():
            for name, data in details["files"].items():
                with open(os.path.join(work, name), "wb") as out:
                    out.write(data)
        with open(os.path.join(work, "product.wxs"), "w", encoding="utf-8") as out:
            out.write(wix_source(kind, side, product))
        package = os.path.join(work, "product.msi")
        # wixl takes Source= relative to its working directory only.
        subprocess.run(["wixl", "-a", "x64", "-o", package, "product.wxs"], cwd=work, check=True,
                       stdout=subprocess.DEVNULL)
        # What wixl cannot write: the code page, feature attributes,
        # RemoveFile and IniFile rows and their actions.
        queries = []
        for name, (_, attributes) in product["features"].items():
            if attributes:
                queries.append(f"UPDATE `Feature` SET `Attributes` = {attributes} WHERE `Feature` = '{name}'")
        imports = [os.path.join(work, "_ForceCodepage.idt")]
        with open(imports[0], "w", newline="") as out:
            out.write("\r\n\r\n%d\t_ForceCodepage\r\n" % product["codepage"])
        if product["remove_files"]:
            imports.append(os.path.join(work, "RemoveFile.idt"))
            idt(imports[-1], ["FileKey", "Component_", "FileName", "DirProperty", "InstallMode"],
                ["s72", "s72", "L255", "s72", "i2"], ["RemoveFile", "FileKey"], product["remove_files"])
        if product["ini_files"]:
            imports.append(os.path.join(work, "IniFile.idt"))
            idt(imports[-1], ["IniFile", "FileName", "DirProperty", "Section", "Key", "Value", "Action",
                              "Component_"], ["s72", "l255", "S72", "l96", "l128", "l255", "i2", "s72"],
                ["IniFile", "IniFile"],
                [(key, name, "INSTALLDIR", section, entry, value, 0, component)
                 for key, name, section, entry, value, component in product["ini_files"]])
            queries += ["INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('RemoveIniValues', 3450)",
                        "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('WriteIniValues', 5100)"]
        if product["script"]:
            says, channel = product["script"]
            os.mkdir(os.path.join(work, "Binary"))
            with open(os.path.join(work, "Binary", "setting.vbs"), "w", newline="") as out:
                out.write('Set view = Session.Database.OpenView("SELECT `Value` FROM `QuorvelSetting` '
                          'WHERE `Name` = \'Channel\'")\r\nview.Execute\r\nSet record = view.Fetch\r\n'
                          f'Session.Property("QUORVEL_SETTING") = record.StringData(1) & " ({says})"\r\n')
            for table, columns, types, rows in [
                    ("Binary", ["Name", "Data"], ["s72", "v0"], [("QuorvelScript", "setting.vbs")]),
                    ("QuorvelSetting", ["Name", "Value"], ["s72", "l255"], [("Channel", channel)]),
                    ("_Validation", ["Table", "Column", "Nullable", "MinValue", "MaxValue", "KeyTable", "KeyColumn",
                                     "Category", "Set", "Description"],
                     ["s32", "s32", "s4", "I4", "I4", "S255", "I2", "S32", "S255", "S255"],
                     [("QuorvelSetting", "Name", "N", "", "", "", "", "Identifier", "", "Setting"),
                      ("QuorvelSetting", "Value", "N", "", "", "", "", "Text", "", "Its value")])]:
                imports.append(os.path.join(work, table + ".idt"))
                keys = ["Table", "Column"] if table == "_Validation" else [columns[0]]
                idt(imports[-1], columns, types, [table] + keys, rows)
            queries += ["INSERT INTO `CustomAction` (`Action`, `Type`, `Source`) VALUES ('ReadSetting', 6, 'QuorvelScript')",
                        "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('ReadSetting', 4990)",
                        "INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Value`, `Component_`) VALUES "
                        f"('Setting', 2, 'Software\\Korvanta\\Quorvel {kind}', 'Setting', '[QUORVEL_SETTING]', 'Main')"]
        command = ["msibuild", package]
        for path in imports:
            command += ["-i", path]
        for query in queries:
            command += ["-q", query]
        # The streams of Binary.idt are read from Binary/ under the working directory.
        subprocess.run(command, check=True, cwd=work)
        os.replace(package, output)


def main():
    if sys.argv[1:] == ["--kinds"]:
        print("\n".join(KINDS))
        return 0
    if len(sys.argv) != 4 or sys.argv[1] not in KINDS or sys.argv[2] not in ("old", "new"):
        sys.stderr.write(__doc__)
        return 2
    build(sys.argv[1], sys.argv[2], os.path.abspath(sys.argv[3]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
