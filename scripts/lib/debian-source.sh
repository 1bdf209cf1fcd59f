# Sourced by the build scripts: Debian source packages unpacked into the build cache,
# and the POCO libraries the installer links statically. The sourcing script sets
# `script` (its name, for messages) and `cache` (the cache folder) first.

say() { echo "$script: $*" >&2; }
fail() {
  echo "$script: $*" >&2
  exit 1
}
scratch=()
trap 'rm -rf "${scratch[@]}"' EXIT
new_scratch() {  # new_scratch VAR NAME: VAR names a fresh folder in the cache, removed on exit
  local dir
  dir=$(mktemp -d "$cache/.$2.XXXXXX")
  scratch+=("$dir")
  printf -v "$1" '%s' "$dir"
}

# POCO's libraries: Foundation and Zip, with the XML, JSON and Util libraries that
# POCO's CMake packages for Zip ask for. Each build adds how it gets zlib and PCRE.
poco_library_flags=(-DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DENABLE_TESTS=OFF
  -DENABLE_FOUNDATION=ON -DENABLE_ZIP=ON -DENABLE_UTIL=ON -DENABLE_XML=ON
  -DENABLE_JSON=ON -DENABLE_ENCODINGS=OFF -DENABLE_NET=OFF -DENABLE_MONGODB=OFF -DENABLE_REDIS=OFF
  -DENABLE_PDF=OFF -DENABLE_DATA=OFF -DENABLE_DATA_SQLITE=OFF -DENABLE_DATA_MYSQL=OFF
  -DENABLE_DATA_POSTGRESQL=OFF -DENABLE_DATA_ODBC=OFF -DENABLE_ACTIVERECORD=OFF
  -DENABLE_ACTIVERECORD_COMPILER=OFF -DENABLE_PAGECOMPILER=OFF -DENABLE_PAGECOMPILER_FILE2PAGE=OFF
  -DENABLE_CRYPTO=OFF -DENABLE_NETSSL=OFF -DENABLE_JWT=OFF -DENABLE_APACHECONNECTOR=OFF
  -DENABLE_SEVENZIP=OFF -DENABLE_CPPPARSER=OFF -DENABLE_POCODOC=OFF)

# The release of POCO this machine's libpoco-dev carries: the one to build.
poco_release() {
  [[ $(dpkg-query -W -f='${source:Package}' libpoco-dev) == poco ]] || fail "libpoco-dev is not POCO's"
  poco_version=$(dpkg-query -W -f='${source:Version}' libpoco-dev)
  [[ $poco_version == 1.11.* ]] || fail "expected POCO 1.11 from Debian, found $poco_version"
}

# apt-get and apt-cache with a deb-src list of these scripts' own, made from the Debian
# archives this machine installs from, and indexes kept in the cache.
apt_dir=$cache/apt
apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/parts"
          -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
          -o "APT::Sandbox::User=root")
source_list_ready=""
prepare_source_list() {
  [[ -n $source_list_ready ]] && return
  local archives signed=""
  archives=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' \
               'Identifier: Packages' 'Origin: Debian' | sort -u)
  if [[ -z $archives ]]; then
    apt-get update -qq
    archives=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' \
                 'Identifier: Packages' 'Origin: Debian' | sort -u)
  fi
  [[ -n $archives ]] || fail "this machine installs from no Debian archive"
  [[ -f /usr/share/keyrings/debian-archive-keyring.gpg ]] &&
    signed="[signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] "
  mkdir -p "$apt_dir/parts" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
  sed "s|^|deb-src $signed|" <<<"$archives" >"$apt_dir/sources.list"
  apt-get "${apt_opts[@]}" update -qq
  source_list_ready=1
}

# fetch_source VAR PACKAGE VERSION FILE: Debian's source package PACKAGE=VERSION,
# unpacked (its patches applied) once into the cache; VAR names the tree, which must
# hold FILE.
fetch_source() {
  local var=$1 package=$2 version=$3 file=$4 tree tmp
  tree=$cache/$package-$version
  if [[ ! -f $tree/$file ]]; then
    prepare_source_list
    new_scratch tmp "$package-source"
    say "fetching Debian's source package $package=$version"
    (cd "$tmp" && apt-get "${apt_opts[@]}" source -qq "$package=$version" >"$tmp/log" 2>&1) ||
      { tail -20 "$tmp/log"; fail "apt-get source $package=$version failed"; }
    local unpacked
    unpacked=$(find "$tmp" -mindepth 1 -maxdepth 1 -type d -name "$package-*" | head -1)
    [[ -n $unpacked && -f $unpacked/$file ]] || fail "no $package source tree in $tmp"
    rm -rf "$tree"
    mv "$unpacked" "$tree"
  fi
  printf -v "$var" '%s' "$tree"
}
