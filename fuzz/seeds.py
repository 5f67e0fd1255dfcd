#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz harnesses into OUT/<harness>/, and the reproducers of
known faults into OUT/reproducers/<harness>/ (run once each, whole, before fuzzing).

    fuzz/seeds.py OUT [PACKAGE.zip]

PACKAGE.zip, a package that the export wrote, adds its files as seeds of every harness."""
import io
import os
import sys
import zipfile

out = sys.argv[1]
package = sys.argv[2] if len(sys.argv) > 2 else None


def put(harness, name, data):
    path = os.path.join(out, harness, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(data if isinstance(data, bytes) else data.encode('utf-8'))


def packet(fields, rows):
    """fields: (attrname, fieldtype[, extra attributes]); rows: attribute text per row."""
    head = ''.join('<FIELD attrname="%s" fieldtype="%s"%s/>' % (f[0], f[1], f[2] if len(f) > 2 else '')
                   for f in fields)
    body = ''.join('<ROW%s/>' % r for r in rows)
    return ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<DATAPACKET Version="2.0">'
            '<METADATA><FIELDS>%s</FIELDS><PARAMS/></METADATA><ROWDATA>%s</ROWDATA></DATAPACKET>\n'
            % (head, body))


def zipped(entries, deflated=True):
    """entries: (name, bytes) or (name, None) for a folder."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, 'w', zipfile.ZIP_DEFLATED if deflated else zipfile.ZIP_STORED) as z:
        for name, data in entries:
            z.writestr(name, b'' if data is None else data)
    return buffer.getvalue()


dept = packet([('DeptID', 'string', ' WIDTH="20"'), ('DeptName', 'string', ' WIDTH="200"'),
               ('DeptMemo', 'string')],
              [' DeptID="0001" DeptName="总部" DeptMemo=""', ' DeptID="00010002" DeptName="总部_研发"',
               ' DeptID="000100020003" DeptName="总部_研发_软件&amp;测试"',
               ' DeptID="0009" DeptName="a__b_"', ' DeptID="12" DeptName="短码"'])
person = packet([('PerUUID', 'string'), ('PerName', 'string'), ('PerSex', 'string'),
                 ('LoginName', 'string'), ('PerDept', 'string'), ('PerMemo', 'string'),
                 ('UPassWord', 'string'), ('PrjID', 'i4'), ('When', 'datetime'),
                 ('Rate', 'r8'), ('Flag', 'boolean'), ('Photo', 'bin.hex'),
                 ('attr1', 'string', ' fieldname="Per Name with blanks"')],
                [' PerUUID="p1" PerName="张三" PerSex=" 男 " LoginName="zs" PerDept="0001"'
                 ' PerMemo="line&#10;break" PrjID="0" When="2024-01-02T03:04:05" Rate="1.5"'
                 ' Flag="true" Photo="00ff"',
                 ' PerUUID="p2" PerName="李四" PerSex="女" LoginName="ls" PerDept=""',
                 ' PerUUID="p3" PerName="O\'Neil" PerSex="F" LoginName="o" PerDept="00010002"'
                 ' attr1="x"',
                 ' PerUUID="p4" PerName="无部门" LoginName="w"',
                 ' PerUUID="p1" PerName="重复" LoginName="dup" PerDept="12"'])
manifest = ('<?xml version="1.0" encoding="gb2312"?>\n<ReaderPackList PackName="SysPerInfo">'
            '<ReaderNode ResCaption="PerInfo" ResFileName="PerInfo.per"/>'
            '<ReaderNode ResCaption="DeptInfo" ResFileName="DeptInfo.per"/></ReaderPackList>\n'
            ).encode('gb2312')

# Issue 14, case 1: 5,007 fields and 200,000 empty rows, 1.6 MB that zip to some 34 KB.
many = packet([('F%d' % i, 'string', ' WIDTH="20"') for i in range(5007)], [''] * 200000)

# The data-packet reader.
put('datapacket', 'dept.per', dept)
put('datapacket', 'person.per', person)
put('datapacket', 'empty.per', packet([], []))
put('reproducers/datapacket', 'many-fields-and-rows.per', many)
# A packet in a legacy encoding, and the same with a byte sequence that encoding cannot convert
# among its rows: libxml2 stops there as if the packet had ended, which must not read as a
# shorter packet.
legacy = person.replace('encoding="UTF-8"', 'encoding="GBK"').encode('gbk')
put('datapacket', 'gbk.per', legacy)
at = legacy.index(b'<ROW PerUUID="p3"')
put('reproducers/datapacket', 'unconvertible-byte.per',
    legacy[:at] + b'<ROW PerUUID="\x81\x20"/>' + legacy[at:])

# The unpacking: zip files as they are, and entry lists for the harness to build.
put('extract', 'package.zip', zipped([('perinfo.per', person), ('deptinfo.per', dept),
                                      ('SysPerInfo.XML', manifest)]))
put('extract', 'letter-case.zip', zipped([('PerInfo.per', person), ('DEPTINFO.PER', dept)], False))
put('extract', 'folder-entry.zip', zipped([('perinfo.per', person), ('deptinfo.per/', None)]))
put('extract', 'nested.zip', zipped([('PerInfo/', None), ('PerInfo/perinfo.per', b'x'),
                                     ('PerInfo/sub/deptinfo.per', b'y')]))
import warnings
warnings.simplefilter('ignore')
put('extract', 'duplicate.zip', zipped([('perinfo.per', b'first'), ('deptinfo.per', b'd'),
                                        ('perinfo.per', b'second')]))
put('extract', 'dotdot.zip', zipped([('perinfo.per', b'x'), ('a/../../evil', b'x')]))
put('reproducers/extract', 'many-fields-and-rows.zip', zipped([('perinfo.per', many.encode()),
                                                              ('deptinfo.per', dept)]))


def entries(flags, items):
    """The harness's own form: flags, then (kind, name, content) with one-byte lengths."""
    data = bytes([flags])
    for kind, name, content in items:
        name, content = name.encode(), content.encode()
        data += bytes([kind, len(name)]) + name + bytes([len(content)]) + content
    return data


put('extract', 'built-plain', entries(0, [(0, 'perinfo.per', 'p'), (0, 'deptinfo.per', 'd')]))
put('extract', 'built-clash', entries(1, [(1, 'deptinfo.per/', ''), (0, 'deptinfo.per', 'd'),
                                          (0, 'old-file', 'x')]))
put('extract', 'built-links', entries(1, [(2, 'link2', '../outside'), (0, 'link/evil', 'x'),
                                          (3, 'hard', 'perinfo.per')]))
put('extract', 'built-missing-dest', entries(2, [(0, 'a/b/c', 'x'), (1, 'a/', ''),
                                                 (0, 'a//b/c', 'y')]))

# The preview tree: two data packets, or the compact table.
put('packagetree', 'packets', dept + '\n#####\n' + person)
put('packagetree', 'table', '0001\t总部\n00010002\t总部_研发\n0002000\t半\n~\t空码\n0003\ta__b\n\n'
                            'p1\t0001\t张三\t男\tzs\np2\t~\t无\t女\tw\np3\t00010002\t李\t 男\tl\n'
                            'p1\t0002000\t重\tF\td\np4\t\t空\t\te\n')
put('packagetree', 'table-deep', '000100020003\t甲_乙_丙\n00010002\t丁\n0001\t戊_己_庚_辛\n\n'
                                 'x\t000100020003\tX\t男\tx\n')

if package:
    with zipfile.ZipFile(package) as z:
        names = {n.lower(): n for n in z.namelist()}
        per, dep = z.read(names['perinfo.per']), z.read(names['deptinfo.per'])
    with open(package, 'rb') as f:
        put('extract', 'exported.zip', f.read())
    put('datapacket', 'exported-perinfo.per', per)
    put('datapacket', 'exported-deptinfo.per', dep)
    put('packagetree', 'exported', dep + b'\n#####\n' + per)
