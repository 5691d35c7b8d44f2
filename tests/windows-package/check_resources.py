#!/usr/bin/env python3
"""Checks the Windows resources linked into the programs of a deploy folder:
the manifest (common controls 6, per-monitor DPI awareness, asInvoker), the
version information (product, company, file version from the project) and
the program icon (exactly the images of ui/images/window-icon.ico).

    check_resources.py ICO VERSION PROGRAM.exe...

Prints one line per program; exits 1 with the reasons when one falls short.
"""
import struct
import sys
import xml.etree.ElementTree as ET

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24


def resources(path):
    """{(type, id): bytes} of the first language of every resource of a PE file."""
    data = open(path, 'rb').read()
    pe = struct.unpack_from('<I', data, 0x3c)[0]
    if data[pe:pe + 4] != b'PE\0\0':
        raise ValueError('not a PE file')
    sections, optional_size = struct.unpack_from('<H12xH', data, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from('<H', data, optional)[0]
    directories = optional + (112 if magic == 0x20b else 96)
    rsrc_rva, rsrc_size = struct.unpack_from('<II', data, directories + 2 * 8)
    if not rsrc_size:
        return {}
    table = optional + optional_size

    def offset(rva):
        for i in range(sections):
            vsize, vaddr, rawsize, rawptr = struct.unpack_from('<IIII', data, table + 40 * i + 8)
            if vaddr <= rva < vaddr + max(vsize, rawsize):
                return rva - vaddr + rawptr
        raise ValueError('RVA %#x outside every section' % rva)

    base = offset(rsrc_rva)

    def entries(directory):
        named, ids = struct.unpack_from('<HH', data, base + directory + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from('<II', data, base + directory + 16 + 8 * i)
            yield (None if name & 0x80000000 else name), target

    found = {}
    for kind, types in entries(0):
        for ident, names in entries(types & 0x7fffffff):
            for _, leaf in entries(names & 0x7fffffff):
                rva, size = struct.unpack_from('<II', data, base + leaf)
                found.setdefault((kind, ident), data[offset(rva):offset(rva) + size])
    return found


def version_strings(block):
    """The fixed file version and the string table of a VS_VERSIONINFO block."""
    def node(at):
        length, value_length, kind = struct.unpack_from('<HHH', block, at)
        end_key = at + 6
        while block[end_key:end_key + 2] != b'\0\0':
            end_key += 2
        key = block[at + 6:end_key].decode('utf-16-le')
        value_at = (end_key + 2 + 3) & ~3
        value_size = value_length * (2 if kind == 1 else 1)
        value = block[value_at:value_at + value_size]
        children, child = [], (value_at + value_size + 3) & ~3
        while child < at + length:
            children.append(node(child))
            child = (child + children[-1][3] + 3) & ~3
        return key, value, children, length

    key, fixed, children, _ = node(0)
    signature, _, ms, ls = struct.unpack_from('<IIII', fixed)
    if key != 'VS_VERSION_INFO' or signature != 0xfeef04bd:
        raise ValueError('no VS_VERSION_INFO')
    version = '%d.%d.%d.%d' % (ms >> 16, ms & 0xffff, ls >> 16, ls & 0xffff)
    strings = {}
    for name, _, tables, _ in children:
        if name == 'StringFileInfo':
            for _, _, values, _ in tables:
                for value_key, value, _, _ in values:
                    strings[value_key] = value.decode('utf-16-le').rstrip('\0')
    return version, strings


def ico_images(path):
    data = open(path, 'rb').read()
    count = struct.unpack_from('<HHH', data)[2]
    images = []
    for i in range(count):
        size, at = struct.unpack_from('<II', data, 6 + 16 * i + 8)
        images.append(data[at:at + size])
    return images


def check(program, icon, version):
    problems = []
    found = resources(program)
    manifest = found.get((RT_MANIFEST, 1))
    if manifest is None:
        problems.append('no manifest')
    else:
        text = ET.tostring(ET.fromstring(manifest), encoding='unicode')
        for needed in ('Microsoft.Windows.Common-Controls', 'version="6.0.0.0"', 'level="asInvoker"',
                       'PerMonitorV2', 'true/pm'):
            if needed not in text:
                problems.append('the manifest lacks %s' % needed)
        # Windows 10 and 11 share one ID; 7, 8 and 8.1 are not supported by Qt 6.
        supported = sorted(element.get('Id', '').lower() for element in ET.fromstring(manifest).iter()
                           if element.tag.endswith('}supportedOS'))
        if supported != ['{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}']:
            problems.append('the manifest names the systems %s, not Windows 10/11 alone' % supported)
    shipped = sorted(data for (kind, _), data in found.items() if kind == RT_ICON)
    if (RT_GROUP_ICON, 1) not in found:
        problems.append('no program icon')
    elif shipped != sorted(icon):
        problems.append('the icon images differ from window-icon.ico')
    if (RT_VERSION, 1) not in found:
        problems.append('no version information')
    else:
        file_version, strings = version_strings(found[(RT_VERSION, 1)])
        expected = {'CompanyName': 'quillora', 'ProductName': '>quillora< Vellumix',
                    'FileVersion': version, 'OriginalFilename': program.replace('\\', '/').split('/')[-1]}
        if file_version != version:
            problems.append('file version %s, not %s' % (file_version, version))
        for key, value in expected.items():
            if strings.get(key) != value:
                problems.append('%s is %r, not %r' % (key, strings.get(key), value))
        if not strings.get('FileDescription'):
            problems.append('no FileDescription')
    return problems


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    icon = ico_images(sys.argv[1])
    # The project version as Windows writes it: four numbers.
    parts = (sys.argv[2].split('.') + ['0'] * 4)[:4]
    version = '.'.join(str(int(part or 0)) for part in parts)
    failed = False
    for program in sys.argv[3:]:
        problems = check(program, icon, version)
        name = program.split('/')[-1]
        if problems:
            failed = True
            print('%s: %s' % (name, '; '.join(problems)))
        else:
            print('%s: manifest, version %s and icon present' % (name, version))
    sys.exit(1 if failed else 0)


if __name__ == '__main__':
    main()
