<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="ru_RU">
<context>
    <name>CommandLine</name>
    <message>
        <source>Использование: vark [параметр]
Монитор каталогов: сообщает о каждом файле и папке, которые создали, удалили или
переименовали в выбранной папке и её подпапках, и о каждом файле, размер которого
изменился. Без параметров открывает окно программы; папку выбирают в её настройках.

Параметры:
  -h, --help     показать эту справку и выйти
  -v, --version  показать версию программы и выйти
</source>
        <translation>Usage: vark [option]
Folder monitor: reports every file and folder that is created, deleted or renamed in
the chosen folder and its subfolders, and every file whose size changes. Without options
it opens the program&apos;s window; the folder is chosen in its settings.

Options:
  -h, --help     show this help and exit
  -v, --version  show the program&apos;s version and exit
</translation>
    </message>
    <message>
        <source>неизвестный параметр %1</source>
        <translation>unknown option %1</translation>
    </message>
    <message>
        <source>лишний аргумент %1</source>
        <translation>unexpected argument %1</translation>
    </message>
    <message>
        <source>неверный параметр: %1</source>
        <translation>invalid option: %1</translation>
    </message>
</context>
<context>
    <name>LogLines</name>
    <message>
        <source>Мониторинг папки активен</source>
        <translation>Folder monitoring is on</translation>
    </message>
    <message>
        <source>Мониторинг папки отключён</source>
        <translation>Folder monitoring is off</translation>
    </message>
    <message>
        <source>создан:</source>
        <translation>created:</translation>
    </message>
    <message>
        <source>удален:</source>
        <translation>deleted:</translation>
    </message>
    <message>
        <source>изменен:</source>
        <translation>changed:</translation>
    </message>
    <message>
        <source>переименован из:</source>
        <translation>renamed from:</translation>
    </message>
    <message>
        <source>переименован в:</source>
        <translation>renamed to:</translation>
    </message>
    <message>
        <source>неопознанная операция:</source>
        <translation>unknown operation:</translation>
    </message>
    <message>
        <source>создан</source>
        <translation>created</translation>
    </message>
    <message>
        <source>удален</source>
        <translation>deleted</translation>
    </message>
    <message>
        <source>изменен</source>
        <translation>changed</translation>
    </message>
    <message>
        <source>переименован</source>
        <translation>renamed</translation>
    </message>
    <message>
        <source>неопознанная операция</source>
        <translation>unknown operation</translation>
    </message>
    <message>
        <source> монитор запущен</source>
        <translation> monitor started</translation>
    </message>
    <message>
        <source> монитор остановлен</source>
        <translation> monitor stopped</translation>
    </message>
</context>
<context>
    <name>Messages</name>
    <message>
        <source>Возникла ошибка, сообщите автору</source>
        <translation>An error occurred, please tell the author</translation>
    </message>
    <message>
        <source>Папка не ответила вовремя, открыть не удалось: </source>
        <translation>The folder did not answer in time and could not be opened: </translation>
    </message>
    <message>
        <source>Такой папки не существует, вы не сможете запустить мониторинг</source>
        <translation>There is no such folder; you will not be able to start monitoring</translation>
    </message>
    <message>
        <source>Такой папки не существует</source>
        <translation>There is no such folder</translation>
    </message>
    <message>
        <source>Имя папки содержит перевод строки: такую папку нельзя сохранить в настройках</source>
        <translation>The folder&apos;s name holds a line break: such a folder cannot be kept in the settings</translation>
    </message>
    <message>
        <source>Укажите полный путь к папке: относительный путь зависит от того, из какой папки запущена программа</source>
        <translation>Give the folder&apos;s full path: a relative path depends on the folder the program was started from</translation>
    </message>
    <message>
        <source>Не найдена папка для настроек пользователя (не заданы XDG_CONFIG_HOME и HOME, и домашняя папка неизвестна), а в системную папку программы настройки не записываются: изменения настроек не будут сохранены</source>
        <translation>No folder for the user&apos;s settings was found (neither XDG_CONFIG_HOME nor HOME is set, and the home folder is unknown), and settings are not written into the program&apos;s system folder: changes to the settings will not be saved</translation>
    </message>
    <message>
        <source>Файл настроек слишком велик и, видимо, повреждён. Программа работает с настройками по умолчанию и не изменяет этот файл; исправьте или удалите его:
</source>
        <translation>The settings file is too large and seems to be damaged. The program works with the default settings and does not change this file; correct or delete it:
</translation>
    </message>
    <message>
        <source>при работе с реестром произошла ошибка</source>
        <translation>an error occurred while working with the registry</translation>
    </message>
    <message>
        <source>Путь к программе нельзя записать в автозагрузку: в нём есть знак «%» или символы не в кодировке UTF-8. Автозагрузка не включена</source>
        <translation>The program&apos;s path cannot be written into the log-on start: it holds the sign “%” or characters that are not UTF-8. Starting at log-on is not turned on</translation>
    </message>
    <message>
        <source>Неизвестная ошибка</source>
        <translation>Unknown error</translation>
    </message>
</context>
<context>
    <name>Notices</name>
    <message>
        <source>Достигнут системный предел числа наблюдаемых папок %1 (сейчас %4). Папки сверх предела проверяются опросом — медленнее, раз в несколько секунд; таких папок: %2.
Чтобы поднять предел, выполните:
sudo sysctl %1=%3
Чтобы он сохранился после перезагрузки, запишите строку %1=%3 в файл /etc/sysctl.d/90-inotify-watches.conf. Затем перезапустите мониторинг.</source>
        <translation>The system limit on the number of watched folders %1 has been reached (now %4). Folders beyond the limit are checked by polling — slower, every few seconds; such folders: %2.
To raise the limit, run:
sudo sysctl %1=%3
To keep it after a restart, write the line %1=%3 into the file /etc/sysctl.d/90-inotify-watches.conf. Then restart monitoring.</translation>
    </message>
    <message>
        <source>Достигнут системный предел числа наблюдаемых папок %1. Папки сверх предела проверяются опросом — медленнее, раз в несколько секунд; таких папок: %2.
Чтобы поднять предел, выполните:
sudo sysctl %1=%3
Чтобы он сохранился после перезагрузки, запишите строку %1=%3 в файл /etc/sysctl.d/90-inotify-watches.conf. Затем перезапустите мониторинг.</source>
        <translation>The system limit on the number of watched folders %1 has been reached. Folders beyond the limit are checked by polling — slower, every few seconds; such folders: %2.
To raise the limit, run:
sudo sysctl %1=%3
To keep it after a restart, write the line %1=%3 into the file /etc/sysctl.d/90-inotify-watches.conf. Then restart monitoring.</translation>
    </message>
    <message>
        <source>Системе не хватило памяти, чтобы наблюдать за всеми папками. Папки, за которыми не удалось установить наблюдение, проверяются опросом — медленнее, раз в несколько секунд; таких папок: %1.</source>
        <translation>The system ran out of memory for watching all the folders. Folders that could not be watched are checked by polling — slower, every few seconds; such folders: %1.</translation>
    </message>
    <message>
        <source>Программе не хватает дескрипторов файлов (предел открытых файлов сейчас %2). Папки, которые не удалось открыть, будут взяты под наблюдение, как только дескрипторы освободятся, и всё, что в них появилось, будет показано; таких папок сейчас: %1.
Чтобы поднять предел, увеличьте его (ulimit -n, или LimitNOFILE в настройках сеанса) и перезапустите программу.</source>
        <translation>The program is short of file descriptors (the limit on open files is now %2). Folders that could not be opened will be watched as soon as descriptors are free again, and everything that appeared in them will be shown; such folders now: %1.
To raise the limit, increase it (ulimit -n, or LimitNOFILE in the session settings) and restart the program.</translation>
    </message>
    <message>
        <source>Программе не хватает дескрипторов файлов. Папки, которые не удалось открыть, будут взяты под наблюдение, как только дескрипторы освободятся, и всё, что в них появилось, будет показано; таких папок сейчас: %1.
Чтобы поднять предел, увеличьте его (ulimit -n, или LimitNOFILE в настройках сеанса) и перезапустите программу.</source>
        <translation>The program is short of file descriptors. Folders that could not be opened will be watched as soon as descriptors are free again, and everything that appeared in them will be shown; such folders now: %1.
To raise the limit, increase it (ulimit -n, or LimitNOFILE in the session settings) and restart the program.</translation>
    </message>
</context>
<context>
    <name>RunEnd</name>
    <message>
        <source>внутренняя ошибка программы</source>
        <translation>an internal error of the program</translation>
    </message>
    <message>
        <source>папка удалена, перемещена или отключена</source>
        <translation>the folder was deleted, moved or disconnected</translation>
    </message>
    <message>
        <source>нет доступа к папке</source>
        <translation>no access to the folder</translation>
    </message>
    <message>
        <source>ошибка чтения</source>
        <translation>a read error</translation>
    </message>
    <message>
        <source>диск или сетевая папка недоступны</source>
        <translation>the disk or network folder cannot be reached</translation>
    </message>
    <message>
        <source>исчерпан системный предел наблюдения за папками</source>
        <translation>the system&apos;s limit on watched folders is used up</translation>
    </message>
    <message>
        <source>открыто слишком много файлов</source>
        <translation>too many files are open</translation>
    </message>
    <message>
        <source>недостаточно памяти</source>
        <translation>not enough memory</translation>
    </message>
</context>
<context>
    <name>TfInfo</name>
    <message>
        <source>Сведения о программе</source>
        <translation>About the program</translation>
    </message>
    <message>
        <source>эмблема программы</source>
        <translation>the program&apos;s emblem</translation>
    </message>
    <message>
        <source>рамка сведений</source>
        <translation>frame of the information</translation>
    </message>
    <message>
        <source>Мониториг папки</source>
        <translation>Folder monitoring</translation>
    </message>
    <message>
        <source>Программа Vark мониторит указанную папку и подпапки на: изменения, создание, удаление, переименование файлов и папок.</source>
        <translation>Vark monitors the chosen folder and its subfolders for changes, creations, deletions and renames of files and folders.</translation>
    </message>
    <message>
        <source>команда Vark</source>
        <translation>the Vark team</translation>
    </message>
    <message>
        <source>28.11.2010г.</source>
        <translation>28.11.2010</translation>
    </message>
</context>
<context>
    <name>TfMessage</name>
    <message>
        <source>Изменения в папке</source>
        <translation>Changes in the folder</translation>
    </message>
    <message>
        <source>картинка типа файла</source>
        <translation>picture of the file&apos;s type</translation>
    </message>
    <message>
        <source>открыть выбранный файл</source>
        <translation>open the selected file</translation>
    </message>
    <message>
        <source>файл</source>
        <translation>file</translation>
    </message>
    <message>
        <source>открыть папку выбранного файла</source>
        <translation>open the selected file&apos;s folder</translation>
    </message>
    <message>
        <source>папка</source>
        <translation>folder</translation>
    </message>
    <message>
        <source>закрыть это окно</source>
        <translation>close this window</translation>
    </message>
    <message>
        <source>закрыть</source>
        <translation>close</translation>
    </message>
    <message>
        <source>полный путь</source>
        <translation>full path</translation>
    </message>
    <message>
        <source>вид изменения</source>
        <translation>kind of change</translation>
    </message>
    <message>
        <source>копировать</source>
        <translation>copy</translation>
    </message>
    <message>
        <source>выделить всё</source>
        <translation>select all</translation>
    </message>
</context>
<context>
    <name>TfMonDirMain</name>
    <message>
        <source>Vark - Мониторинг папки</source>
        <translation>Vark - Folder monitoring</translation>
    </message>
    <message>
        <source>запустить мониторинг папки</source>
        <translation>start monitoring the folder</translation>
    </message>
    <message>
        <source>старт</source>
        <translation>start</translation>
    </message>
    <message>
        <source>остановить мониторинг папки</source>
        <translation>stop monitoring the folder</translation>
    </message>
    <message>
        <source>стоп</source>
        <translation>stop</translation>
    </message>
    <message>
        <source>открыть выбранный файл</source>
        <translation>open the selected file</translation>
    </message>
    <message>
        <source>файл</source>
        <translation>file</translation>
    </message>
    <message>
        <source>открыть папку выбранного файла</source>
        <translation>open the selected file&apos;s folder</translation>
    </message>
    <message>
        <source>папка</source>
        <translation>folder</translation>
    </message>
    <message>
        <source>настроить параметры работы программы</source>
        <translation>set up how the program works</translation>
    </message>
    <message>
        <source>настройки</source>
        <translation>settings</translation>
    </message>
    <message>
        <source>сведения о программе</source>
        <translation>about the program</translation>
    </message>
    <message>
        <source>инфо</source>
        <translation>info</translation>
    </message>
    <message>
        <source>заврешить работу программы</source>
        <translation>quit the program</translation>
    </message>
    <message>
        <source>закрыть</source>
        <translation>close</translation>
    </message>
    <message>
        <source>журнал изменений</source>
        <translation>log of changes</translation>
    </message>
    <message>
        <source>строка состояния</source>
        <translation>status bar</translation>
    </message>
    <message>
        <source>программа мониторит сетевую папку</source>
        <translation>the program monitors a network folder</translation>
    </message>
    <message>
        <source>Монитор каталогов</source>
        <translation>Folder monitor</translation>
    </message>
    <message>
        <source>состояние мониторинга</source>
        <translation>monitoring state</translation>
    </message>
    <message>
        <source>старт           </source>
        <translation>start           </translation>
    </message>
    <message>
        <source>Выход</source>
        <translation>Exit</translation>
    </message>
    <message>
        <source>открыть файл</source>
        <translation>open file</translation>
    </message>
    <message>
        <source>открыть каталог</source>
        <translation>open folder</translation>
    </message>
    <message>
        <source>Мониторинг папки «%1» прекращён: %2</source>
        <translation>Monitoring of the folder “%1” has ended: %2</translation>
    </message>
</context>
<context>
    <name>TfOptions</name>
    <message>
        <source>Настройки программы</source>
        <translation>Program settings</translation>
    </message>
    <message>
        <source>добавить в автозагрузку</source>
        <translation>start at log-on</translation>
    </message>
    <message>
        <source>запускать мониторинг при старте программы</source>
        <translation>start monitoring when the program starts</translation>
    </message>
    <message>
        <source>сворачивать окно в область уведомлений</source>
        <translation>hide the window in the notification area</translation>
    </message>
    <message>
        <source>проигрывать звук</source>
        <translation>play a sound</translation>
    </message>
    <message>
        <source>информирование всплывающим окном</source>
        <translation>tell of changes in a popup window</translation>
    </message>
    <message>
        <source>папка для мониторинга</source>
        <translation>folder to monitor</translation>
    </message>
    <message>
        <source>очистить</source>
        <translation>clear</translation>
    </message>
    <message>
        <source>ок</source>
        <translation>ok</translation>
    </message>
    <message>
        <source>сохранить настройки</source>
        <translation>save the settings</translation>
    </message>
    <message>
        <source>отмена</source>
        <translation>cancel</translation>
    </message>
    <message>
        <source>отменить изменения</source>
        <translation>discard the changes</translation>
    </message>
    <message>
        <source>по умолчанию</source>
        <translation>defaults</translation>
    </message>
    <message>
        <source>вернуть настройки по умолчанию</source>
        <translation>restore the default settings</translation>
    </message>
    <message>
        <source>вставить          </source>
        <translation>paste             </translation>
    </message>
    <message>
        <source>копировать</source>
        <translation>copy</translation>
    </message>
</context>
</TS>
