"""The Google Play app bundle (--platforms=googleplay): its protobuf files
decoded by protoc with our schemas, its base module turned into a binary APK
by aapt2 and read back with aapt dump badging, and its zip checked with
unzip -t."""
import os
import re
import shutil
import subprocess
import zipfile

import pytest

from bundle_env import ICON_PATHS, base_module_as_binary_apk
from conftest import SOURCE_DIR, STUBS, build_installation
from publish_env import run_publish, texts
from web_env import set_metadata

PROTO_DIR = os.path.join(SOURCE_DIR, "publish", "android")
TREE = "mygame-googleplay-1.0"
PACKAGE = "mygame-googleplay.aab"

# A game's own template, so the manifest's decoded text is fixed here.
GAME_MANIFEST = """<?xml version="1.0" encoding="utf-8"?>
<manifest xmlns:android="http://schemas.android.com/apk/res/android"
    package="$ZEVRA_PACKAGEID" android:versionCode="$ZEVRA_VERSION_CODE"
    android:versionName="$ZEVRA_VERSION">
  <application android:label="@string/app_name" android:debuggable="false"/>
</manifest>
"""

EXPECTED_MANIFEST = """element {{
  namespace_declaration {{
    prefix: "android"
    uri: "http://schemas.android.com/apk/res/android"
    source {{
      line_number: 2
      column_number: 69
    }}
  }}
  name: "manifest"
  attribute {{
    name: "package"
    value: "com.example.tiny"
    source {{
      line_number: 3
      column_number: 31
    }}
  }}
  attribute {{
    namespace_uri: "http://schemas.android.com/apk/res/android"
    name: "versionCode"
    value: "{version_code}"
    source {{
      line_number: 3
      column_number: {version_code_column}
    }}
    resource_id: 16843291
    compiled_item {{
      prim {{
        int_decimal_value: {version_code}
      }}
    }}
  }}
  attribute {{
    namespace_uri: "http://schemas.android.com/apk/res/android"
    name: "versionName"
    value: "2.5"
    source {{
      line_number: 4
      column_number: 30
    }}
    resource_id: 16843292
  }}
  child {{
    text: "\\n  "
    source {{
      line_number: 5
      column_number: 16
    }}
  }}
  child {{
    element {{
      name: "application"
      attribute {{
        namespace_uri: "http://schemas.android.com/apk/res/android"
        name: "label"
        value: "@string/app_name"
        source {{
          line_number: 5
          column_number: 48
        }}
        resource_id: 16842753
        compiled_item {{
          ref {{
            id: 2130968576
            name: "string/app_name"
          }}
        }}
      }}
      attribute {{
        namespace_uri: "http://schemas.android.com/apk/res/android"
        name: "debuggable"
        value: "false"
        source {{
          line_number: 5
          column_number: 75
        }}
        resource_id: 16842767
        compiled_item {{
          prim {{
            boolean_value: false
          }}
        }}
      }}
    }}
    source {{
      line_number: 5
      column_number: 16
    }}
  }}
  child {{
    text: "\\n"
    source {{
      line_number: 6
      column_number: 12
    }}
  }}
}}
source {{
  line_number: 2
  column_number: 11
}}
"""

EXPECTED_BUNDLE_CONFIG = """bundletool {
  version: "1.8.2"
}
optimizations {
  splits_config {
    split_dimension {
      value: ABI
    }
  }
  uncompress_native_libraries {
    enabled: true
  }
  uncompress_dex_files {
    enabled: true
  }
  standalone_config {
  }
  resource_optimizations {
  }
  store_archive {
  }
}
"""

EXPECTED_RESOURCE_TABLE = """source_pool {{
  data: "{pool}"
}}
package {{
  package_id {{
    id: 127
  }}
  package_name: "{package}"
  type {{
    type_id {{
      id: 2
    }}
    name: "mipmap"
    entry {{
      entry_id {{
      }}
      name: "ic_launcher"
      visibility {{
        source {{
        }}
      }}
      config_value {{
        config {{
          density: 160
          sdk_version: 4
        }}
        value {{
          source {{
          }}
          item {{
            file {{
              path: "res/mipmap-mdpi-v4/ic_launcher.png"
              type: PNG
            }}
          }}
        }}
      }}
      config_value {{
        config {{
          density: 240
          sdk_version: 4
        }}
        value {{
          source {{
            path_idx: 1
          }}
          item {{
            file {{
              path: "res/mipmap-hdpi-v4/ic_launcher.png"
              type: PNG
            }}
          }}
        }}
      }}
      config_value {{
        config {{
          density: 320
          sdk_version: 4
        }}
        value {{
          source {{
            path_idx: 2
          }}
          item {{
            file {{
              path: "res/mipmap-xhdpi-v4/ic_launcher.png"
              type: PNG
            }}
          }}
        }}
      }}
      config_value {{
        config {{
          density: 480
          sdk_version: 4
        }}
        value {{
          source {{
            path_idx: 3
          }}
          item {{
            file {{
              path: "res/mipmap-xxhdpi-v4/ic_launcher.png"
              type: PNG
            }}
          }}
        }}
      }}
      config_value {{
        config {{
          density: 640
          sdk_version: 4
        }}
        value {{
          source {{
            path_idx: 4
          }}
          item {{
            file {{
              path: "res/mipmap-xxxhdpi-v4/ic_launcher.png"
              type: PNG
            }}
          }}
        }}
      }}
    }}
  }}
  type {{
    type_id {{
      id: 3
    }}
    name: "color"
    entry {{
      entry_id {{
      }}
      name: "colorPrimary"
      visibility {{
        source {{
        }}
      }}
      config_value {{
        config {{
        }}
        value {{
          source {{
            path_idx: 5
            position {{
              line_number: 6
            }}
          }}
          item {{
            prim {{
              color_argb8_value: 4282339765
            }}
          }}
        }}
      }}
    }}
    entry {{
      entry_id {{
        id: 1
      }}
      name: "colorPrimaryDark"
      visibility {{
        source {{
        }}
      }}
      config_value {{
        config {{
        }}
        value {{
          source {{
            path_idx: 5
            position {{
              line_number: 7
            }}
          }}
          item {{
            prim {{
              color_argb8_value: 4281352095
            }}
          }}
        }}
      }}
    }}
    entry {{
      entry_id {{
        id: 2
      }}
      name: "colorAccent"
      visibility {{
        source {{
        }}
      }}
      config_value {{
        config {{
        }}
        value {{
          source {{
            path_idx: 5
            position {{
              line_number: 8
            }}
          }}
          item {{
            prim {{
              color_argb8_value: 4294918273
            }}
          }}
        }}
      }}
    }}
  }}
  type {{
    type_id {{
      id: 4
    }}
    name: "string"
    entry {{
      entry_id {{
      }}
      name: "app_name"
      visibility {{
        source {{
        }}
      }}
      config_value {{
        config {{
        }}
        value {{
          source {{
            path_idx: 5
            position {{
              line_number: 2
            }}
          }}
          item {{
            str {{
              value: "{title}"
            }}
          }}
        }}
      }}
    }}
  }}
  type {{
    type_id {{
      id: 5
    }}
    name: "style"
    entry {{
      entry_id {{
      }}
      name: "AppTheme"
      visibility {{
        source {{
        }}
      }}
      config_value {{
        config {{
        }}
        value {{
          source {{
            path_idx: 5
            position {{
              line_number: 12
            }}
          }}
          compound_value {{
            style {{
              parent {{
                id: 16974105
              }}
            }}
          }}
        }}
      }}
    }}
  }}
}}
tool_fingerprint {{
  tool: "Brindlecot Publishing Tool (brindlecot-publish)"
  version: "{revision}"
}}
"""


def source_pool():
    """The binary string pool of the icon paths and the value resources'
    file: UTF-16 strings, each with its length and a 0 unit, padded to 4."""
    strings = ICON_PATHS + ["res/resources.xml"]
    offsets, data = [], b""
    for s in strings:
        offsets.append(len(data))
        data += len(s).to_bytes(2, "little") + s.encode("utf-16-le") + b"\0\0"
    data += b"\0" * (-(52 + len(data)) % 4)
    # Type 1, header size 28, chunk size, string count, no styles, UTF-16
    # unsorted, strings after the six offsets, no style offsets.
    header = (b"\x01\x00\x1c\x00" + (52 + len(data)).to_bytes(4, "little")
              + len(strings).to_bytes(4, "little") + bytes(8)
              + (52).to_bytes(4, "little") + bytes(4))
    return header + b"".join(o.to_bytes(4, "little") for o in offsets) + data


def c_escape(data):
    """Bytes as protoc's text format prints them."""
    special = {0x0A: "\\n", 0x0D: "\\r", 0x09: "\\t", 0x22: '\\"', 0x27: "\\'", 0x5C: "\\\\"}
    return "".join(special.get(b) or (chr(b) if 0x20 <= b < 0x7F else "\\%03o" % b)
                   for b in data)


def decode(message, path):
    proto = "bundle_config.proto" if message.startswith("android.bundle.") else "resources.proto"
    with open(path, "rb") as f:
        r = subprocess.run(["protoc", "-I", PROTO_DIR, "--decode=" + message,
                            os.path.join(PROTO_DIR, proto)], stdin=f, capture_output=True,
                           timeout=60)
    assert r.returncode == 0, r.stderr
    return r.stdout.decode("utf-8")


def publish(inst, platforms="googleplay", ok=True):
    r = run_publish(["--only-package", "--platforms=" + platforms, "mygame"], inst)
    out = r.stdout.decode("utf-8", "replace")
    assert (r.returncode == 0) == ok, out
    return r


def logged(r, pattern):
    """The first group of the first log line matching pattern."""
    for line in r.stdout.decode("utf-8", "replace").splitlines():
        m = re.search(pattern, line)
        if m:
            return m.group(1)
    raise AssertionError("no line matches %r" % pattern)


@pytest.fixture
def inst(tmp_path):
    inst = build_installation(tmp_path / "inst", keep_stubs=["googleplay"])
    set_metadata(inst, gametitle="Tiny \"Quest\" & Co", packageid="com.example.tiny",
                 version="2.5")
    return inst


def test_protobuf_files_decode_to_the_expected_records(inst):
    (inst / "mygame" / "metadata" / "googleplay-manifest.xml").write_text(GAME_MANIFEST)
    r = publish(inst)
    tree = inst / "builds" / "mygame-googleplay-2.5"
    build_id = logged(r, r"This Android build will have a build ID of '(\d+)'")
    revision = logged(r, r"This copy of the engine is git hash (\S+),")

    manifest = decode("aapt.pb.XmlNode", tree / "base" / "manifest" / "AndroidManifest.xml")
    assert manifest == EXPECTED_MANIFEST.format(
        version_code=build_id, version_code_column=54 + len(build_id))

    assert decode("android.bundle.BundleConfig", tree / "BundleConfig.pb") == \
        EXPECTED_BUNDLE_CONFIG
    assert (tree / "BundleConfig.pb").stat().st_size == 31

    table = decode("aapt.pb.ResourceTable", tree / "base" / "resources.pb")
    assert table == EXPECTED_RESOURCE_TABLE.format(
        pool=c_escape(source_pool()), package="com.example.tiny",
        title='Tiny \\"Quest\\" & Co', revision=revision)
    assert "- Wrote 31 bytes to protobuffer builds/mygame-googleplay-2.5/BundleConfig.pb" \
        in r.stdout.decode()


def test_aapt2_turns_the_base_module_into_an_apk_with_the_games_badging(inst, tmp_path):
    publish(inst)
    base = inst / "builds" / "mygame-googleplay-2.5" / "base"
    binary_apk = base_module_as_binary_apk(base, tmp_path)
    r = subprocess.run(["aapt", "dump", "badging", str(binary_apk)], capture_output=True,
                       timeout=60)
    assert r.returncode == 0, r.stderr
    badging = r.stdout.decode("utf-8").splitlines()
    assert re.fullmatch(r"package: name='com\.example\.tiny' versionCode='\d+' "
                        r"versionName='2\.5'.*", badging[0])
    # aapt escapes double quotes when it prints a label.
    assert "application-label:'Tiny \\\"Quest\\\" & Co'" in badging
    for density, icon in zip((160, 240, 320, 480, 640), ICON_PATHS):
        assert "application-icon-%d:'%s'" % (density, icon) in badging
    assert any(l.startswith("launchable-activity: name='com.example.tiny.BrindlecotActivity'")
               for l in badging), badging


def test_package_holds_the_bundle_tree_without_directory_entries(inst):
    publish(inst)
    package = inst / "builds" / "mygame-googleplay.aab"
    r = subprocess.run(["unzip", "-t", str(package)], capture_output=True, timeout=60)
    assert r.returncode == 0, r.stdout
    with zipfile.ZipFile(package) as z:
        names = z.namelist()
    assert not [n for n in names if n.endswith("/")]
    assert len(names) == len(set(names))
    game = {"base/assets/" + p for p in (
        "app/main.rb", "data/levels/level1.txt", "data/levels/bonus/level2.txt",
        "data/empty.txt", "metadata/game_metadata.txt", "metadata/icon.png",
        "metadata/BRINDLECOT_PRODUCTION_BUILD", "open-source-licenses.txt", "font.ttf",
        "brindlecot.png", "brindlecot-controller.png", "console-logo.png")}
    assert set(names) == {
        "BundleConfig.pb", "base/manifest/AndroidManifest.xml", "base/resources.pb",
        "base/dex/classes.dex", "base/dex/classes2.dex", "base/lib/armeabi-v7a/libmain.so",
    } | {"base/" + icon for icon in ICON_PATHS} | game


def test_entry_spelling_is_kept_in_paths(inst):
    os.rename(inst / STUBS / "googleplay", inst / STUBS / "GooglePlay")
    publish(inst, "GooglePlay")
    assert (inst / "builds" / "mygame-GooglePlay.aab").is_file()
    assert (inst / "builds" / "mygame-GooglePlay-2.5" / "base" / "resources.pb").is_file()
    assert sorted(os.listdir(inst / "builds")) == ["mygame-GooglePlay-2.5",
                                                   "mygame-GooglePlay.aab"]


def test_second_build_replaces_the_tree(inst):
    publish(inst)
    stale = inst / "builds" / "mygame-googleplay-2.5" / "base" / "assets" / "stale.txt"
    stale.write_text("left by an earlier build")
    r = publish(inst)
    assert "Deleting 'builds/mygame-googleplay-2.5'..." in texts(r, "- ")
    assert not stale.exists()
    assert (inst / "builds" / "mygame-googleplay.aab").is_file()


def test_stub_without_dex_fails_and_deletes_the_package(inst):
    publish(inst)
    shutil.rmtree(inst / STUBS / "googleplay" / "stub" / "dex")
    r = publish(inst, ok=False)
    assert not (inst / "builds" / "mygame-googleplay.aab").exists()
    assert any(t.startswith("The Android stub lacks '.brindlecot/stubs/googleplay/stub/dex/"
                            "classes.dex'") for t in texts(r, "! ")), texts(r, "! ")


def test_a_publish_builds_every_platform_of_the_installation(tmp_path):
    """What the demo runs: no platform list, the bundle among the builds."""
    inst = build_installation(tmp_path / "inst")
    r = run_publish(["--only-package", "mygame"], inst)
    assert r.returncode == 0, r.stdout.decode("utf-8", "replace")
    assert (inst / "builds" / "mygame-googleplay.aab").is_file()
    for entry in os.listdir(inst / STUBS):
        if entry != "ios-device":
            assert any(n.startswith("mygame-" + entry) for n in os.listdir(inst / "builds")), entry
