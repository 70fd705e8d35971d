# Lists every section, key and value that Stavora serves, from PowerShell.
# Run it with the bitness of the registered DLL: a 32-bit Stavora.dll needs
# the 32-bit PowerShell (SysWOW64), a 64-bit one the 64-bit PowerShell.
#   powershell -NoProfile -File ListIni.ps1
$lookup = New-Object -ComObject Stavora.StavoraLookup
try {
    $sections = $lookup.GetSections()
    "The INI file has $($sections.Count) section(s)."
    foreach ($section in $sections) {
        "[$section]"
        foreach ($key in $lookup.GetSection($section)) {
            "  $key = $($lookup.GetKey($section, $key))"
        }
    }
    # A missing key reads as an empty string.
    "a missing key: [$($lookup.GetKey('Database', 'NoSuchKey'))]"
}
finally {
    [void][System.Runtime.InteropServices.Marshal]::ReleaseComObject($lookup)
}
