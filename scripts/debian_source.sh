# Debian source packages for the Windows build, which compiles some of Debian's own sources in
# (sourced by scripts/setup.sh and scripts/windows_line_libs.sh; SUDO is set by the caller).

# Adds deb-src entries for the configured mirror, in a file of their own, once.
ensure_debian_sources() {
  local list=/etc/apt/sources.list.d/qz670x-mp-deb-src.sources
  [ -f "$list" ] && return 0
  {
    echo "# Source packages (qz670x-mp's Windows build compiles some of Debian's sources)"
    awk '/^(Types|URIs|Suites|Components|Signed-By):/ {
           if ($1 == "Types:") { if (n++) print ""; print "Types: deb-src"; next }
           print }' /etc/apt/sources.list.d/debian.sources
  } | $SUDO tee "$list" >/dev/null
  $SUDO apt-get update -qq
}

# Unpacks source package $1 at version $2 into the folder $3/src.
unpack_debian_source() {
  local package=$1 version=$2 work=$3
  ensure_debian_sources
  # apt downloads as its own account where it can
  if id _apt >/dev/null 2>&1; then chown _apt "$work"; fi
  (cd "$work" && apt-get source --download-only -qq "$package=$version" &&
    dpkg-source -x ./*.dsc src >/dev/null)
}

# The source versions of package $1 that the mirror lists, newest first.
debian_source_versions() {
  apt-cache showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -Vru
}

# Downloads the source of package $1 into the current folder, the installed version $2 of the
# binary the Linux build links when the mirror still has it, else the newest the mirror has;
# prints the version taken. Unpack it with `dpkg-source -x ./*.dsc src`.
download_debian_source() {
  local package=$1 installed version
  installed=$(dpkg-query -W -f='${Version}' "$2")
  for version in "$installed" $(debian_source_versions "$package"); do
    rm -f ./*.dsc ./*.tar.* ./*.diff.gz
    if apt-get source --download-only -qq "$package=$version" >/dev/null 2>&1; then
      [ "$version" = "$installed" ] ||
        echo "the mirror has no source of $2 $installed; taking $package $version" >&2
      echo "$version"
      return 0
    fi
  done
  echo "no source of $package on the mirror" >&2
  return 1
}
