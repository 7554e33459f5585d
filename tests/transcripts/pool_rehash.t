# kvauth behind the pool rehashes as the engine does: after a right password
# in an old scheme or at a lower cost, once, with the check's reply sent
# first.
file auth.sh
| #!/bin/sh
| exec {programs}/kvauth -conf {dir}/zorvexsvr.conf
conf authent_process {dir}/auth.sh
conf authent_number 1
conf rehash yes
conf password_scheme sha512-crypt rounds=60000
file db/kvauth.txt
| six:$6$rounds=50000$saltsaltsalt12$WZFMNy.5TKuING1QLdQtkKrL4244tyjuA3mVClrlR9/iBVI0zsldKWLoU5jcbwcStqGFZZLVnZKj3Qviw5eD81:s=1
start
> 1 check six wrong
< 1 -ERR six password wrong or not a valid user
> 2 check six sixpw
< 2 +OK six config 0 s=1
> 3 check six sixpw
< 3 +OK six config 0 s=1
count 1 db/kvauth.add six:$6$rounds=60000$
count 1 db/kvauth.add six:
