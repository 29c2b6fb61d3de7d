<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="pl_PL">
<context>
    <name>CommandLine</name>
    <message>
        <source>Reads and writes the network settings (operating mode, IP address, IP port) of a field device on an RS-485 bus, in a window.

From its first exchange with the device until it is closed, the window keeps the serial port open, and konfigurator-cli is refused that port meanwhile.</source>
        <translation>Odczytuje i zapisuje w oknie ustawienia sieciowe urządzenia na magistrali RS-485: tryb pracy, adres IP i port.

Od pierwszej wymiany z urządzeniem aż do zamknięcia okno trzyma port szeregowy otwarty; w tym czasie konfigurator-cli nie może go otworzyć.</translation>
    </message>
    <message>
        <source>Unexpected argument &apos;%1&apos;.</source>
        <translation>Nieznany argument &apos;%1&apos;.</translation>
    </message>
    <message>
        <source>Try &apos;Konfigurator --help&apos;.</source>
        <translation>Pomoc: &apos;Konfigurator --help&apos;.</translation>
    </message>
    <message>
        <source>Print this help and end.</source>
        <translation>Wypisuje tę pomoc i kończy.</translation>
    </message>
    <message>
        <source>Print the version and end.</source>
        <translation>Wypisuje numer wersji i kończy.</translation>
    </message>
    <message>
        <source>Unknown option &apos;%1&apos;.</source>
        <translation>Nieznana opcja &apos;%1&apos;.</translation>
    </message>
</context>
<context>
    <name>TApplication</name>
    <message>
        <source>Unknown exception</source>
        <translation>Nieznany błąd</translation>
    </message>
</context>
<context>
    <name>TForm1</name>
    <message>
        <source>The port&apos;s name cannot be set up.</source>
        <translation>Nie można ustawić nazwy portu.</translation>
    </message>
    <message>
        <source>Nothing was sent: the port field does not hold a whole number.</source>
        <translation>Nic nie wysłano: w polu Port nie ma liczby całkowitej.</translation>
    </message>
    <message>
        <source>Unknown exception</source>
        <translation>Nieznany błąd</translation>
    </message>
</context>
<context>
    <name>TWording</name>
    <message>
        <source>pid %1</source>
        <translation>proces %1</translation>
    </message>
    <message>
        <source>pid %1 (%2)</source>
        <translation>proces %1 (%2)</translation>
    </message>
    <message>
        <source>USB device %1:%2</source>
        <translation>Urządzenie USB %1:%2</translation>
    </message>
    <message>
        <source>USB serial adapter</source>
        <translation>Adapter szeregowy USB</translation>
    </message>
    <message>
        <source>Serial port</source>
        <translation>Port szeregowy</translation>
    </message>
    <message>
        <source>%1, serial %2</source>
        <translation>%1, nr seryjny %2</translation>
    </message>
    <message>
        <source>Pseudo-terminal — %1</source>
        <translation>Pseudoterminal — %1</translation>
    </message>
    <message>
        <source>Not present: %1</source>
        <translation>Niepodłączony: %1</translation>
    </message>
    <message>
        <source>No serial ports found.</source>
        <translation>Nie znaleziono żadnego portu szeregowego.</translation>
    </message>
    <message>
        <source>Ports found:</source>
        <translation>Znalezione porty:</translation>
    </message>
    <message>
        <source>%1 (no COM number)</source>
        <translation>%1 (bez numeru COM)</translation>
    </message>
    <message>
        <source>It is a plain file.</source>
        <translation>To zwykły plik.</translation>
    </message>
    <message>
        <source>It is a folder.</source>
        <translation>To katalog.</translation>
    </message>
    <message>
        <source>It is a named pipe.</source>
        <translation>To potok nazwany (FIFO).</translation>
    </message>
    <message>
        <source>It is a socket.</source>
        <translation>To gniazdo (socket).</translation>
    </message>
    <message>
        <source>It is a block device (a disk or the like).</source>
        <translation>To urządzenie blokowe (dysk lub podobne).</translation>
    </message>
    <message>
        <source>It is a character device, but no serial line.</source>
        <translation>To urządzenie znakowe, ale nie łącze szeregowe.</translation>
    </message>
    <message>
        <source>Port %1 does not exist: %2 points at %3, which is not there (adapter unplugged?).</source>
        <translation>Port %1 nie istnieje: %2 wskazuje na %3, którego nie ma (odłączony adapter?).</translation>
    </message>
    <message>
        <source>Port %1 does not exist: there is no %2 and no %3.</source>
        <translation>Port %1 nie istnieje: nie ma ani %2, ani %3.</translation>
    </message>
    <message>
        <source>Port %1 does not exist.</source>
        <translation>Port %1 nie istnieje.</translation>
    </message>
    <message>
        <source>No permission to reach %1 (%2).</source>
        <translation>Brak dostępu do %1 (%2).</translation>
    </message>
    <message>
        <source>No permission to open %1 (%2 %3:%4).</source>
        <translation>Brak uprawnień do otwarcia %1 (%2 %3:%4).</translation>
    </message>
    <message>
        <source>Not even its group %1 may read and write it; ask the administrator to fix the device&apos;s permissions (a udev rule).</source>
        <translation>Nawet jego grupa %1 nie może go czytać i zapisywać; poproś administratora o poprawienie uprawnień urządzenia (reguła udev).</translation>
    </message>
    <message>
        <source>The device belongs to group %1, and you are in it already, but this session started before you joined: log out and in again (or run newgrp %1).</source>
        <translation>Urządzenie należy do grupy %1 i już w niej jesteś, ale ta sesja zaczęła się wcześniej: wyloguj się i zaloguj ponownie (albo uruchom newgrp %1).</translation>
    </message>
    <message>
        <source>The device belongs to group %1. Join it with
  sudo usermod -aG %1 $USER
then log out and in again.</source>
        <translation>Urządzenie należy do grupy %1. Dołącz do niej poleceniem
  sudo usermod -aG %1 $USER
a potem wyloguj się i zaloguj ponownie.</translation>
    </message>
    <message>
        <source>Seen with the device open: %1.</source>
        <translation>Urządzenie jest otwarte przez: %1.</translation>
    </message>
    <message>
        <source>Close that program and try again.</source>
        <translation>Zamknij ten program i spróbuj ponownie.</translation>
    </message>
    <message>
        <source>It is being written right now, or was left half-written; try again in a few seconds.</source>
        <translation>Plik jest właśnie zapisywany albo został zapisany tylko w części; spróbuj ponownie za kilka sekund.</translation>
    </message>
    <message>
        <source>Port %1 is in use by another program (one you cannot see, e.g. another user&apos;s).</source>
        <translation>Port %1 jest zajęty przez inny program (niewidoczny stąd, np. innego użytkownika).</translation>
    </message>
    <message>
        <source>Port %1 is in use by another program: %2.</source>
        <translation>Port %1 jest zajęty przez inny program: %2.</translation>
    </message>
    <message>
        <source>Close it and try again.</source>
        <translation>Zamknij go i spróbuj ponownie.</translation>
    </message>
    <message>
        <source>%1 is not a serial port.</source>
        <translation>%1 nie jest portem szeregowym.</translation>
    </message>
    <message>
        <source>There is no working serial device behind %1 (%2).</source>
        <translation>Pod %1 nie ma działającego urządzenia szeregowego (%2).</translation>
    </message>
    <message>
        <source>Cannot open port %1 (%2).</source>
        <translation>Nie można otworzyć portu %1 (%2).</translation>
    </message>
    <message>
        <source>Port %1, %2 bit/s, address %3.</source>
        <translation>Port %1, %2 bit/s, adres %3.</translation>
    </message>
    <message>
        <source>The port stopped working: %1 is gone (was the adapter unplugged?).</source>
        <translation>Port przestał działać: %1 zniknął (czy odłączono adapter?).</translation>
    </message>
    <message>
        <source>The port failed: %1.</source>
        <translation>Błąd portu: %1.</translation>
    </message>
    <message>
        <source>unknown error</source>
        <translation>nieznany błąd</translation>
    </message>
    <message>
        <source>The request was not fully sent: the port did not take it within its time.</source>
        <translation>Zapytanie nie zostało wysłane w całości: port nie przyjął go w wyznaczonym czasie.</translation>
    </message>
    <message>
        <source>No answer: the device did not reply, or not in full. Check that the speed and the address match the device&apos;s, and the wiring (A and B lines, the adapter&apos;s transmitter switching).</source>
        <translation>Brak odpowiedzi: urządzenie nie odpowiedziało albo odpowiedziało tylko częściowo. Sprawdź, czy prędkość transmisji i adres RS 485 zgadzają się z ustawieniami urządzenia, oraz okablowanie (linie A i B, przełączanie nadajnika w adapterze).</translation>
    </message>
    <message>
        <source>Corrupted reply: its checksum does not match. The line speed may not match the device&apos;s, or there is noise on the line.</source>
        <translation>Uszkodzona odpowiedź: suma kontrolna się nie zgadza. Prędkość transmisji może być inna niż w urządzeniu albo na linii są zakłócenia.</translation>
    </message>
    <message>
        <source>The reply expected is too short to check.</source>
        <translation>Oczekiwana odpowiedź jest za krótka, by ją sprawdzić.</translation>
    </message>
    <message>
        <source>The device refused the request (it answered, but would not do it).</source>
        <translation>Urządzenie odrzuciło zapytanie (odpowiedziało, ale go nie wykonało).</translation>
    </message>
    <message>
        <source>Another address answered: the reply came from a device other than address %1. Two devices may share an address on this bus.</source>
        <translation>Odpowiedział inny adres: odpowiedź przyszła od innego urządzenia niż adres %1. Być może dwa urządzenia na tej magistrali mają ten sam adres.</translation>
    </message>
    <message>
        <source>The operation failed for a reason the program does not know.</source>
        <translation>Operacja nie powiodła się z nieznanego powodu.</translation>
    </message>
    <message>
        <source>pid unreadable</source>
        <translation>numer procesu nieczytelny</translation>
    </message>
    <message>
        <source>Port %1 is locked by the lock file %2 (%3).</source>
        <translation>Port %1 jest zablokowany plikiem blokady %2 (%3).</translation>
    </message>
    <message>
        <source>pid %1, %2</source>
        <translation>proces %1, %2</translation>
    </message>
</context>
</TS>
