# Sourced by the project's scripts: ensure_debian_packages NAME... installs with
# apt-get whichever of the named Debian packages are not installed yet.
ensure_debian_packages() {
  local missing=() package
  for package in "$@"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  ((${#missing[@]})) || return 0
  printf '==> installing %s\n' "${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
}
